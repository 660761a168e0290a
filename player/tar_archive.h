// The members of a tar archive (an appliance's .ova), listed where they lie:
// nothing is unpacked, the player only learns each regular member's name,
// the offset of its first byte in the archive and its size. Pure logic over
// a bounded read; headers as POSIX ustar, pax and GNU tar write them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "player/read_bytes_at.h"

struct TarMember {
  std::string name;  // as stored, a leading "./" taken off
  std::uint64_t offset = 0;
  std::uint64_t size = 0;

  bool operator==(const TarMember& other) const = default;
};

enum class TarFault {
  kNone,
  kReadFailed,
  kBadHeader,      // a checksum, a number or a pax record that is not right
  kTruncated,      // a member or the archive's end lies past the file's end
  kUnsafeName,     // empty, absolute, "..", a backslash or a control byte
  kNotRegular,     // a link, a device, a FIFO, a sparse or multi-volume member
  kDuplicateName,  // two members of one name (in any ASCII case)
  kTooManyMembers,
};

struct TarListing {
  TarFault fault = TarFault::kNone;
  // The member's name where the fault lies in one (may be empty).
  std::string faultName;
  std::vector<TarMember> members;  // in the archive's order; empty on a fault
};

// An archive holds no more members than this.
inline constexpr std::size_t kMaximumTarMembers = 256;

// True when `block` (the first 512 bytes of a file) is a tar header: the
// ustar magic and a checksum that adds up.
bool IsTarHeader(std::string_view block);

// Every regular member of the archive of `fileSize` bytes. Directories are
// passed over; pax headers and GNU long names give the next member its
// name and size. The archive must end with its zero block within the file.
TarListing ListTarMembers(const ReadBytesAt& read, std::uint64_t fileSize);

// The member named `name` exactly, or null.
const TarMember* FindTarMember(const std::vector<TarMember>& members, std::string_view name);
