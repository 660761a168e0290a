// A VMware configuration (.vmx) as the player understands it: lines of
// `key = "value"`, "#" comments and blank lines. Keys are compared without
// regard to case and a later setting of a key wins over an earlier one.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

#include "platform/ascii_case.h"

struct VmxConfig {
  // Keys in lower case (A-Z only), values as written between the quotes.
  std::map<std::string, std::string> settings;

  // The value of `key` (any case), or null when it is not set.
  const std::string* Find(std::string_view key) const;
};

// Takes one line into `config`. Comments, blank lines and lines that are no
// setting (no "=", no key, an unclosed quote) change nothing; the result
// says whether the line was a setting.
bool ParseVmxLine(std::string_view line, VmxConfig& config);

VmxConfig ParseVmxText(std::string_view text);

enum class VmxReadResult { kRead, kCannotOpen, kNotAFile, kTooLarge, kReadFailed };

// No .vmx is larger; a larger file is refused before a byte of it is read.
inline constexpr std::size_t kMaximumVmxBytes = 1024 * 1024;

// Reads the whole file (a regular file of at most kMaximumVmxBytes); it is
// only read. A NUL byte stays in its value, where VmxSettings refuses it.
VmxReadResult ReadVmxFile(const std::string& fileName, VmxConfig& config);

// Converts every value from the encoding that `.encoding` names into the
// system's (UTF-8 on Linux, the ANSI code page on Windows), once, so that
// file names and the display name reach the system as it spells them.
// Without `.encoding` the values stay as read: the system's own bytes.
// Empty on success; else the German message (Windows-1252) naming the key,
// and `config` is left as it was.
std::string ConvertVmxToSystemEncoding(VmxConfig& config);
