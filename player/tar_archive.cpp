#include "player/tar_archive.h"

#include <optional>

#include "platform/ascii_case.h"
#include "player/appliance_names.h"

namespace {

constexpr std::size_t kBlock = 512;
// Field offsets and lengths of a ustar header.
constexpr std::size_t kNameAt = 0, kNameLength = 100;
constexpr std::size_t kSizeAt = 124, kSizeLength = 12;
constexpr std::size_t kChecksumAt = 148, kChecksumLength = 8;
constexpr std::size_t kTypeAt = 156;
constexpr std::size_t kMagicAt = 257;
constexpr std::size_t kPrefixAt = 345, kPrefixLength = 155;
// A pax header or GNU long name larger than this is no honest archive's.
constexpr std::uint64_t kMaximumExtendedHeader = 64 * 1024;
constexpr std::uint64_t kMaximumSize = (std::uint64_t{1} << 62);

std::string_view Field(std::string_view block, std::size_t at, std::size_t length) {
  std::string_view field = block.substr(at, length);
  const std::size_t end = field.find('\0');
  return end == std::string_view::npos ? field : field.substr(0, end);
}

// An octal number as tar writes it: blanks before, a NUL or blank after.
std::optional<std::uint64_t> Octal(std::string_view field) {
  std::size_t i = 0;
  while (i < field.size() && field[i] == ' ') ++i;
  std::uint64_t value = 0;
  std::size_t digits = 0;
  for (; i < field.size() && field[i] >= '0' && field[i] <= '7'; ++i, ++digits) {
    if (value > (kMaximumSize >> 3)) return std::nullopt;
    value = value << 3 | static_cast<std::uint64_t>(field[i] - '0');
  }
  if (digits == 0) return std::nullopt;
  for (; i < field.size(); ++i) {
    if (field[i] != ' ' && field[i] != '\0') return std::nullopt;
  }
  return value;
}

// A size field: octal, or GNU's base-256 (first byte 0x80) for 8 GiB and up.
std::optional<std::uint64_t> SizeField(std::string_view block) {
  const std::string_view field = block.substr(kSizeAt, kSizeLength);
  const auto first = static_cast<unsigned char>(field[0]);
  if (first == 0x80) {
    std::uint64_t value = 0;
    for (std::size_t i = 1; i < field.size(); ++i) {
      if (value > (kMaximumSize >> 8)) return std::nullopt;
      value = value << 8 | static_cast<unsigned char>(field[i]);
    }
    return value;
  }
  if (first & 0x80) return std::nullopt;  // negative base-256
  return Octal(field);
}

bool ChecksumAddsUp(std::string_view block) {
  const std::optional<std::uint64_t> stored = Octal(block.substr(kChecksumAt, kChecksumLength));
  if (!stored) return false;
  // The field counts as blanks. Old tars summed signed bytes: both count.
  std::uint64_t unsignedSum = 0;
  std::int64_t signedSum = 0;
  for (std::size_t i = 0; i < kBlock; ++i) {
    const bool inField = i >= kChecksumAt && i < kChecksumAt + kChecksumLength;
    const char c = inField ? ' ' : block[i];
    unsignedSum += static_cast<unsigned char>(c);
    signedSum += static_cast<signed char>(c);
  }
  return *stored == unsignedSum || static_cast<std::int64_t>(*stored) == signedSum;
}

bool AllZero(std::string_view block) {
  return block.find_first_not_of('\0') == std::string_view::npos;
}

bool IsPosixUstar(std::string_view block) {
  return block.substr(kMagicAt, 6) == std::string_view("ustar\0", 6);
}

bool IsGnuUstar(std::string_view block) {
  return block.substr(kMagicAt, 8) == std::string_view("ustar  \0", 8);
}

// Takes off leading "./" (tar's name for a member it was given as "."):
// the name the envelope refers to.
std::optional<std::string> SafeName(std::string_view name) {
  while (name.substr(0, 2) == "./") name.remove_prefix(2);
  if (!IsPlainRelativeName(name)) return std::nullopt;
  return std::string(name);
}

// What a pax extended header says of the next member.
struct PaxValues {
  std::optional<std::string> path;
  std::optional<std::uint64_t> size;
  bool sparse = false;
  bool link = false;
};

// Records "<length> <key>=<value>\n", the length counting the whole record.
bool ReadPaxRecords(std::string_view data, PaxValues* values) {
  while (!data.empty()) {
    std::size_t i = 0;
    std::size_t length = 0;
    while (i < data.size() && data[i] >= '0' && data[i] <= '9' && i < 8) {
      length = length * 10 + static_cast<std::size_t>(data[i] - '0');
      ++i;
    }
    if (i == 0 || i >= data.size() || data[i] != ' ' || length <= i + 1 || length > data.size() ||
        data[length - 1] != '\n') {
      return false;
    }
    const std::string_view record = data.substr(i + 1, length - i - 2);
    const std::size_t equals = record.find('=');
    if (equals == std::string_view::npos || equals == 0) return false;
    const std::string_view key = record.substr(0, equals);
    const std::string_view value = record.substr(equals + 1);
    if (key == "path") {
      values->path = std::string(value);
    } else if (key == "size") {
      if (value.empty() || value.size() > 19) return false;
      std::uint64_t size = 0;
      for (const char c : value) {
        if (c < '0' || c > '9') return false;
        size = size * 10 + static_cast<std::uint64_t>(c - '0');
      }
      if (size > kMaximumSize) return false;
      values->size = size;
    } else if (key == "linkpath") {
      values->link = true;
    } else if (key.substr(0, 11) == "GNU.sparse.") {
      values->sparse = true;
    }
    data.remove_prefix(length);
  }
  return true;
}

class TarWalk {
 public:
  TarWalk(const ReadBytesAt& read, std::uint64_t fileSize) : read_(read), fileSize_(fileSize) {}

  TarListing Run() {
    std::uint64_t at = 0;
    std::size_t headers = 0;
    while (true) {
      // Every header counts, so that a file of empty pax headers ends too.
      if (++headers > 4 * kMaximumTarMembers) return Fault(TarFault::kTooManyMembers, "");
      if (at > fileSize_ || fileSize_ - at < kBlock) return Fault(TarFault::kTruncated, "");
      std::string block;
      if (!read_(at, kBlock, &block)) return Fault(TarFault::kReadFailed, "");
      if (block.size() != kBlock) return Fault(TarFault::kTruncated, "");
      if (AllZero(block)) break;
      if (!ChecksumAddsUp(block) || !(IsPosixUstar(block) || IsGnuUstar(block))) {
        return Fault(TarFault::kBadHeader, "");
      }
      const std::optional<std::uint64_t> headerSize = SizeField(block);
      if (!headerSize) return Fault(TarFault::kBadHeader, "");
      const char type = block[kTypeAt];
      const bool extended = type == 'x' || type == 'g' || type == 'L';
      const std::uint64_t dataAt = at + kBlock;
      // A pax size replaces the header's for the member it precedes.
      const std::uint64_t size = extended ? *headerSize : pending_.size.value_or(*headerSize);
      if (size > fileSize_ - dataAt) return Fault(TarFault::kTruncated, RawName(block));
      const std::uint64_t next = dataAt + (size + kBlock - 1) / kBlock * kBlock;
      if (extended) {
        if (!ReadExtendedHeader(type, dataAt, *headerSize)) return listing_;
      } else if (!TakeMember(type, block, dataAt, size)) {
        return listing_;
      }
      at = next;
    }
    if (pending_.path || pending_.size || pending_.link || pending_.sparse) {
      return Fault(TarFault::kTruncated, "");  // an extended header for no member
    }
    return listing_;
  }

 private:
  TarListing Fault(TarFault fault, std::string name) {
    listing_.fault = fault;
    listing_.faultName = std::move(name);
    listing_.members.clear();
    return listing_;
  }

  std::string RawName(std::string_view block) const {
    if (pending_.path) return *pending_.path;
    std::string name;
    if (IsPosixUstar(block)) {
      const std::string_view prefix = Field(block, kPrefixAt, kPrefixLength);
      if (!prefix.empty()) name = std::string(prefix) + "/";
    }
    name += Field(block, kNameAt, kNameLength);
    return name;
  }

  bool ReadExtendedHeader(char type, std::uint64_t dataAt, std::uint64_t size) {
    if (size > kMaximumExtendedHeader) {
      Fault(TarFault::kBadHeader, "");
      return false;
    }
    std::string data;
    if (!read_(dataAt, static_cast<std::size_t>(size), &data)) {
      Fault(TarFault::kReadFailed, "");
      return false;
    }
    if (data.size() != size) {
      Fault(TarFault::kTruncated, "");
      return false;
    }
    if (type == 'L') {
      // GNU's long name: the name, NUL-terminated.
      const std::size_t end = data.find('\0');
      pending_.path = data.substr(0, end);
      return true;
    }
    PaxValues values;
    if (!ReadPaxRecords(data, &values)) {
      Fault(TarFault::kBadHeader, "");
      return false;
    }
    // A global header's values would hold for every later member; none
    // that changes where a member lies is taken.
    if (type == 'g') {
      if (values.path || values.size || values.sparse || values.link) {
        Fault(TarFault::kNotRegular, "");
        return false;
      }
      return true;
    }
    if (values.path) pending_.path = values.path;
    if (values.size) pending_.size = values.size;
    pending_.sparse = pending_.sparse || values.sparse;
    pending_.link = pending_.link || values.link;
    return true;
  }

  bool TakeMember(char type, std::string_view block, std::uint64_t dataAt, std::uint64_t size) {
    const std::string raw = RawName(block);
    const PaxValues pending = pending_;
    pending_ = PaxValues();
    const bool regular = type == '0' || type == '\0' || type == '7';
    if (type == '5') return true;  // a directory holds nothing of its own here
    if (!regular || pending.sparse || pending.link) {
      Fault(TarFault::kNotRegular, raw);
      return false;
    }
    const std::optional<std::string> name = SafeName(raw);
    if (!name) {
      Fault(TarFault::kUnsafeName, raw);
      return false;
    }
    for (const TarMember& member : listing_.members) {
      if (EqualsIgnoringAsciiCase(member.name, *name)) {
        Fault(TarFault::kDuplicateName, *name);
        return false;
      }
    }
    if (listing_.members.size() == kMaximumTarMembers) {
      Fault(TarFault::kTooManyMembers, "");
      return false;
    }
    listing_.members.push_back({*name, dataAt, size});
    return true;
  }

  const ReadBytesAt& read_;
  const std::uint64_t fileSize_;
  PaxValues pending_;
  TarListing listing_;
};

}  // namespace

bool IsTarHeader(std::string_view block) {
  return block.size() >= kBlock && (IsPosixUstar(block) || IsGnuUstar(block)) &&
         ChecksumAddsUp(block.substr(0, kBlock));
}

TarListing ListTarMembers(const ReadBytesAt& read, std::uint64_t fileSize) {
  return TarWalk(read, fileSize).Run();
}

const TarMember* FindTarMember(const std::vector<TarMember>& members, std::string_view name) {
  for (const TarMember& member : members) {
    if (member.name == name) return &member;
  }
  return nullptr;
}
