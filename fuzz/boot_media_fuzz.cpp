// Both boot media readers over one input. As a disk the input is the image
// from its first byte; as a CD it starts at sector 16, the system area
// before it being zeros, so that small inputs reach the volume descriptors.
// Every claim of a result must rest on bytes that say so, and every read
// must be bounded.
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "player/boot_media.h"

namespace {

constexpr std::size_t kCdSector = 2048;
constexpr std::uint64_t kCdInputAt = 16 * kCdSector;
constexpr std::size_t kLargestRead = 128 * 1024;
// The CD reader reads three sectors and one byte for each catalog entry;
// the disk reader its MBR, GPT header and entries, and one byte for each.
constexpr int kMostCdReads = 3 + 64;
constexpr int kMostDiskReads = 3 + 4 + 1024;

void Require(bool condition) {
  if (!condition) std::abort();
}

// The image: `start` zero bytes, then the input.
class Image {
 public:
  Image(std::string_view input, std::uint64_t start) : input_(input), start_(start) {}

  std::uint64_t Size() const { return start_ + input_.size(); }
  unsigned char At(std::uint64_t offset) const {
    return offset < start_ ? 0 : static_cast<unsigned char>(input_[offset - start_]);
  }

  // `failAtEnd`: a read beyond the end fails instead of coming back short,
  // which the contract allows as well.
  ReadBytesAt Reader(int* reads, bool failAtEnd) const {
    return [this, reads, failAtEnd](std::uint64_t offset, std::size_t count, std::string* bytes) {
      ++*reads;
      Require(count <= kLargestRead && offset <= std::numeric_limits<std::uint64_t>::max() - count);
      bytes->clear();
      if (offset + count > Size() && failAtEnd) return false;
      for (std::uint64_t at = offset; at < Size() && at < offset + count; ++at) {
        bytes->push_back(static_cast<char>(At(at)));
      }
      return true;
    };
  }

  bool Holds(std::uint64_t offset, std::string_view bytes) const {
    if (offset > Size() || bytes.size() > Size() - offset) return false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (At(offset + i) != static_cast<unsigned char>(bytes[i])) return false;
    }
    return true;
  }

 private:
  std::string_view input_;
  std::uint64_t start_;
};

bool SameMedia(const BootMedia& a, const BootMedia& b) {
  return a.biosBoot == b.biosBoot && a.uefiBoot == b.uefiBoot && a.windowsSetup == b.windowsSetup &&
         a.volumeId == b.volumeId && a.publisher == b.publisher;
}

bool Printable(std::string_view text) {
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// A catalog SeaBIOS would boot: a sector after the boot record that starts
// with a validation entry for x86 BIOS and a bootable initial entry.
bool HoldsBiosCatalog(const Image& image) {
  for (std::uint64_t at = 18 * kCdSector; at + 64 <= image.Size(); at += kCdSector) {
    if (image.Holds(at, std::string_view("\x01\x00", 2)) && image.Holds(at + 30, "\x55\xAA\x88")) {
      return true;
    }
  }
  return false;
}

// The UEFI platform byte where a catalog keeps platforms: the second byte
// of a 32-byte entry after the boot record.
bool HoldsUefiPlatform(const Image& image) {
  for (std::uint64_t at = 18 * kCdSector + 1; at < image.Size(); at += 32) {
    if (image.At(at) == 0xEF) return true;
  }
  return false;
}

void CheckCd(std::string_view input) {
  const Image image(input, kCdInputAt);
  int reads = 0;
  const BootMedia media = ReadCdBootMedia(image.Reader(&reads, false));
  Require(reads <= kMostCdReads);
  int failingReads = 0;
  const BootMedia failing = ReadCdBootMedia(image.Reader(&failingReads, true));
  Require(failingReads <= kMostCdReads);
  Require(SameMedia(media, failing));

  Require(!media.biosBoot ||
          (image.Holds(17 * kCdSector, std::string_view("\0CD001\x01"
                                                        "EL TORITO SPECIFICATION",
                                                        30)) &&
           HoldsBiosCatalog(image)));
  Require(!media.uefiBoot || HoldsUefiPlatform(image));
  Require(media.volumeId.size() <= 32 && Printable(media.volumeId));
  Require(media.publisher.size() <= 128 && Printable(media.publisher));
  Require(!media.windowsSetup ||
          media.publisher.find("MICROSOFT CORPORATION") != std::string::npos);
}

// An ESP type GUID where a GPT keeps entries: after the header, at a
// multiple of the smallest entry size.
bool HoldsEspEntry(const Image& image) {
  constexpr std::string_view kEspType =
      "\x28\x73\x2A\xC1\x1F\xF8\xD2\x11\xBA\x4B\x00\xA0\xC9\x3E\xC9\x3B";
  for (std::uint64_t at = 1024; at < image.Size(); at += 128) {
    if (image.Holds(at, std::string_view(kEspType.data(), 16))) return true;
  }
  return false;
}

void CheckDisk(std::string_view input) {
  const Image image(input, 0);
  int reads = 0;
  const BootMedia media = ReadDiskBootMedia(image.Reader(&reads, false));
  Require(reads <= kMostDiskReads);
  int failingReads = 0;
  const BootMedia failing = ReadDiskBootMedia(image.Reader(&failingReads, true));
  Require(failingReads <= kMostDiskReads);
  Require(SameMedia(media, failing));

  const bool signature = image.Holds(510, "\x55\xAA");
  bool code = false;
  for (std::uint64_t at = 0; at < 440 && at < image.Size(); ++at) code = code || image.At(at) != 0;
  Require(!media.biosBoot || (signature && code));
  bool mbrEsp = false;
  for (std::uint64_t at = 446 + 4; at < 510; at += 16) mbrEsp = mbrEsp || image.Holds(at, "\xEF");
  Require(!media.uefiBoot ||
          (signature && (mbrEsp || (image.Holds(512, "EFI PART") && HoldsEspEntry(image)))));
  Require(media.volumeId.empty() && media.publisher.empty() && !media.windowsSetup);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  CheckCd(input);
  CheckDisk(input);
  return 0;
}
