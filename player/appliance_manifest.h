// An appliance's manifest (.mf): one line per file, "SHA256(name)= hex"
// (SHA1 and SHA512 alike), as VMware's and VirtualBox's exports write it.
// Pure logic; the digests are compared by the caller.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "player/host/file_digest.h"

struct ManifestEntry {
  std::string name;
  DigestKind kind = DigestKind::kSha256;
  std::string digest;  // lower-case hex, of the kind's length

  bool operator==(const ManifestEntry& other) const = default;
};

struct Manifest {
  bool valid = false;
  std::vector<ManifestEntry> entries;
};

// No honest manifest is larger.
inline constexpr std::size_t kMaximumManifestBytes = 64 * 1024;

// Blank lines and a final line break are allowed, CR LF too; every other
// line must be an entry of a plain relative name, named once. Anything
// else makes the manifest invalid: a file that cannot be checked is not
// taken as checked.
Manifest ReadManifest(std::string_view text);

// The entry for `name`, or null.
const ManifestEntry* FindManifestEntry(const Manifest& manifest, std::string_view name);
