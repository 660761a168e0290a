// A tar archive built in memory, header by header, as tar writes them, for
// the tests of the tar walk and of appliances.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "player/tar_archive.h"

namespace player_test {

inline constexpr std::size_t kTarBlock = 512;

class Archive {
 public:
  enum class Magic { kPosix, kGnu };

  // A header of `type` for `name` whose size field says `size`; `data`
  // follows, padded to the block. `checksumDelta` spoils the checksum.
  Archive& Member(std::string_view name, std::string_view data, char type = '0',
                  Magic magic = Magic::kPosix, int checksumDelta = 0) {
    return Header(name, data.size(), type, magic, checksumDelta).Data(data);
  }

  Archive& Header(std::string_view name, std::uint64_t size, char type = '0',
                  Magic magic = Magic::kPosix, int checksumDelta = 0) {
    std::string header(kTarBlock, '\0');
    header.replace(0, std::min<std::size_t>(name.size(), 100), name.substr(0, 100));
    Octal(&header, 100, 8, 0644);
    Octal(&header, 108, 8, 0);
    Octal(&header, 116, 8, 0);
    Octal(&header, 124, 12, size);
    Octal(&header, 136, 12, 0);
    header[156] = type;
    if (magic == Magic::kPosix) {
      header.replace(257, 8,
                     std::string("ustar\0"
                                 "00",
                                 8));
    } else {
      header.replace(257, 8, std::string("ustar  \0", 8));
    }
    Seal(&header, checksumDelta);
    bytes_ += header;
    return *this;
  }

  // A header whose size is GNU's base-256 number.
  Archive& LargeHeader(std::string_view name, std::uint64_t size) {
    Header(name, 0, '0', Magic::kGnu);
    std::string header = bytes_.substr(bytes_.size() - kTarBlock);
    bytes_.resize(bytes_.size() - kTarBlock);
    header.replace(124, 12, 12, '\0');
    header[124] = static_cast<char>(0x80);
    for (int i = 0; i < 8; ++i) header[124 + 11 - i] = static_cast<char>(size >> (8 * i));
    Seal(&header, 0);
    bytes_ += header;
    return *this;
  }

  Archive& Pax(std::string_view records, char type = 'x') {
    return Member("PaxHeader", records, type);
  }

  Archive& Data(std::string_view data) {
    bytes_ += data;
    bytes_.append((kTarBlock - data.size() % kTarBlock) % kTarBlock, '\0');
    return *this;
  }

  Archive& End() {
    bytes_.append(2 * kTarBlock, '\0');
    return *this;
  }

  const std::string& bytes() const { return bytes_; }

  TarListing List() const { return List(bytes_.size()); }
  TarListing List(std::uint64_t claimedSize) const {
    return ListTarMembers(
        [this](std::uint64_t offset, std::size_t count, std::string* out) {
          *out = offset < bytes_.size() ? bytes_.substr(offset, count) : std::string();
          return true;
        },
        claimedSize);
  }

 private:
  static void Octal(std::string* header, std::size_t at, std::size_t length, std::uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*llo", static_cast<int>(length - 1),
                  static_cast<unsigned long long>(value));
    header->replace(at, length - 1, text, length - 1);
  }

  static void Seal(std::string* header, int delta) {
    header->replace(148, 8, "        ");
    unsigned sum = 0;
    for (const char c : *header) sum += static_cast<unsigned char>(c);
    char text[8];
    std::snprintf(text, sizeof text, "%06o", sum + static_cast<unsigned>(delta));
    header->replace(148, 7, text, 7);
    (*header)[154] = '\0';
  }

  std::string bytes_;
};

inline std::string PaxRecord(std::string_view key, std::string_view value) {
  // The length counts itself: find the length whose digits make it true.
  const std::size_t rest = key.size() + value.size() + 3;
  std::size_t length = rest + 1;
  while (std::to_string(length).size() + rest != length) ++length;
  return std::to_string(length) + " " + std::string(key) + "=" + std::string(value) + "\n";
}

}  // namespace player_test
