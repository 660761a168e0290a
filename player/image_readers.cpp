#include "player/image_readers.h"

#include <algorithm>
#include <cctype>

#include "platform/byte_order.h"

namespace {

constexpr std::uint64_t kSectorBytes = 512;
// Keeps a byte count within what QEMU's options take.
constexpr std::uint64_t kMaximumSectors = (1ULL << 62) / kSectorBytes;

// qcow2 (big-endian). QEMU takes backing names of up to 1023 bytes, cluster
// sizes of 512 bytes to 2 MiB, and backing formats shorter than 16 bytes.
constexpr std::string_view kQcow2Magic = "QFI\xFB";
constexpr std::size_t kQcow2Version2HeaderBytes = 72;
constexpr std::size_t kQcow2Version3HeaderBytes = 104;
// Version 3 headers of 105 bytes and more carry the compression type.
constexpr std::size_t kQcow2CompressionTypeAt = 104;
constexpr std::size_t kQcow2ReadHeaderBytes = 112;
constexpr std::uint64_t kQcow2MaximumNameBytes = 1023;
constexpr std::uint64_t kQcow2MinimumClusterBits = 9;
constexpr std::uint64_t kQcow2MaximumClusterBits = 21;
constexpr std::size_t kQcow2MaximumBackingFormatBytes = 15;
constexpr std::uint64_t kQcow2CryptNone = 0;
constexpr std::uint64_t kQcow2CryptAes = 1;
constexpr std::uint64_t kQcow2CorruptBit = 1ULL << 1;
constexpr std::uint64_t kQcow2DataFileBit = 1ULL << 2;
constexpr std::uint64_t kQcow2CompressionTypeBit = 1ULL << 3;
// Dirty, corrupt, external data file, compression type, extended L2
// entries: what QEMU 7.2 knows (QCOW2_INCOMPAT_MASK).
constexpr std::uint64_t kQcow2KnownIncompatible = 0x1F;
constexpr std::uint64_t kQcow2CompressionZstd = 1;
constexpr std::uint64_t kQcow2EndExtension = 0;
constexpr std::uint64_t kQcow2BackingFormatExtension = 0xE2792ACA;
constexpr std::uint64_t kQcow2DataFileExtension = 0x44415441;
// The header extensions the player reads; QEMU's end where the backing name
// or the first cluster starts, and real ones take a few hundred bytes.
constexpr std::uint64_t kQcow2MaximumExtensionBytes = 64 * 1024;

// vmdk (little-endian), the header after the magic as QEMU's VMDK4Header.
constexpr std::string_view kVmdkSparseMagic = "KDMV";
constexpr std::string_view kVmdkDescriptorStart = "# Disk DescriptorFile";
constexpr std::size_t kVmdkSparseHeaderBytes = 79;
constexpr std::uint64_t kVmdkMaximumVersion = 3;
constexpr std::uint64_t kVmdkCompressionDeflate = 1;
constexpr std::uint64_t kVmdkMaximumGrainTableEntries = 512;
constexpr std::uint64_t kVmdkGrainDirectoryAtEnd = ~0ULL;
// A stream's footer: a marker sector, the header again, the end marker.
constexpr std::uint64_t kVmdkFooterBytes = 1536;
constexpr std::uint64_t kVmdkFooterMarker = 3;
// QEMU looks for a sparse file's parent in the 20 sectors from its second
// sector, whatever the header says.
constexpr std::uint64_t kVmdkParentWindowOffset = 512;
constexpr std::size_t kVmdkParentWindowBytes = 20 * 512;
constexpr std::string_view kVmdkParentKey = "parentFileNameHint";
constexpr std::size_t kVmdkMaximumNameBytes = 1023;
// QEMU reads an extent's name into 512 bytes.
constexpr std::size_t kVmdkMaximumExtentNameBytes = 511;
constexpr std::size_t kVmdkMaximumExtents = 64;
constexpr std::size_t kVmdkMaximumCreateTypeBytes = 127;

constexpr const char* kEncryptedLuksText =
    "Das Abbild ist mit LUKS verschl\xFCsselt; der Player kann es nicht \xF6"
    "ffnen: '";
constexpr const char* kEncryptedAesText =
    "Das Abbild ist mit dem alten AES-Verfahren verschl\xFCsselt, das QEMU nicht mehr "
    "\xF6"
    "ffnet: '";
constexpr const char* kUnknownFeatureText =
    "Das Abbild verlangt eine Eigenschaft, die QEMU nicht kennt: '";
constexpr const char* kCorruptText =
    "Das Abbild ist als besch\xE4"
    "digt markiert: '";
constexpr const char* kCompressionText =
    "Das Abbild ist auf eine Weise komprimiert, die QEMU nicht kennt: '";
constexpr const char* kNoDataFileText =
    "Das Abbild verlangt eine eigene Datendatei, nennt aber keine: '";
constexpr const char* kTooManyExtentsText = "Das VMDK-Abbild nennt zu viele Teile: '";
constexpr const char* kExtentTypeText =
    "Das VMDK-Abbild nennt einen Teil, den QEMU nicht als Daten lesen kann: '";
constexpr const char* kCreateTypeText =
    "Das VMDK-Abbild ist von einer Art (createType), die QEMU nicht \xF6"
    "ffnet: '";

// Up to `count` bytes at `at`, never asking beyond `size`.
bool ReadBounded(const ReadImageBytes& read, std::uint64_t size, std::uint64_t at,
                 std::uint64_t count, std::string* bytes) {
  bytes->clear();
  if (at >= size) return true;
  const std::uint64_t length = std::min(count, size - at);
  return read(at, static_cast<std::size_t>(length), bytes) && bytes->size() <= length;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view NextWord(std::string_view& line) {
  while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
  std::size_t end = 0;
  while (end < line.size() && !IsBlank(line[end])) ++end;
  const std::string_view word = line.substr(0, end);
  line.remove_prefix(end);
  return word;
}

bool ReadSectors(std::string_view digits, std::uint64_t* sectors) {
  if (digits.empty() || digits.size() > 19) return false;
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > kMaximumSectors) return false;
  *sectors = value;
  return true;
}

const char* ReadQcow2Extensions(const ReadImageBytes& read, std::uint64_t size, std::uint64_t begin,
                                std::uint64_t end, Qcow2Header* header) {
  if (begin >= end) return nullptr;
  std::string area;
  const std::uint64_t wanted = std::min(end - begin, kQcow2MaximumExtensionBytes);
  if (!ReadBounded(read, size, begin, wanted, &area)) return kImageUnreadableText;
  std::uint64_t at = 0;
  const std::uint64_t areaEnd = end - begin;
  while (at < areaEnd) {
    // Cut short by the file's end or the player's bound before the end
    // mark: QEMU would read on, so the player cannot know the rest.
    if (at + 8 > area.size()) return kImageBrokenText;
    const std::uint64_t type = BigEndian(area, static_cast<std::size_t>(at), 4);
    const std::uint64_t length = BigEndian(area, static_cast<std::size_t>(at) + 4, 4);
    at += 8;
    if (at > areaEnd || length > areaEnd - at) return kImageBrokenText;
    if (type == kQcow2EndExtension) return nullptr;
    if (length > area.size() - at) return kImageBrokenText;
    const std::string data =
        area.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(length));
    if (type == kQcow2BackingFormatExtension) {
      if (data.size() > kQcow2MaximumBackingFormatBytes) return kImageBrokenText;
      header->backingFormat = data.substr(0, data.find('\0'));
    } else if (type == kQcow2DataFileExtension) {
      header->dataFile = data;
    }
    at += (length + 7) / 8 * 8;
  }
  return nullptr;
}

const char* ReadQcow2(const ReadImageBytes& read, std::uint64_t size, Qcow2Header* header) {
  std::string bytes;
  if (!ReadBounded(read, size, 0, kQcow2ReadHeaderBytes, &bytes)) return kImageUnreadableText;
  if (bytes.size() < kQcow2Version2HeaderBytes) return kImageBrokenText;
  const std::uint64_t version = BigEndian(bytes, 4, 4);
  if (version != 2 && version != 3) return kImageFormatText;
  const std::uint64_t backingOffset = BigEndian(bytes, 8, 8);
  const std::uint64_t backingBytes = BigEndian(bytes, 16, 4);
  const std::uint64_t clusterBits = BigEndian(bytes, 20, 4);
  header->virtualSize = BigEndian(bytes, 24, 8);
  const std::uint64_t cryptMethod = BigEndian(bytes, 32, 4);
  if (clusterBits < kQcow2MinimumClusterBits || clusterBits > kQcow2MaximumClusterBits) {
    return kImageBrokenText;
  }
  if (cryptMethod != kQcow2CryptNone) {
    return cryptMethod == kQcow2CryptAes ? kEncryptedAesText : kEncryptedLuksText;
  }
  const std::uint64_t clusterBytes = 1ULL << clusterBits;
  std::uint64_t headerBytes = kQcow2Version2HeaderBytes;
  std::uint64_t incompatible = 0;
  if (version == 3) {
    if (bytes.size() < kQcow2Version3HeaderBytes) return kImageBrokenText;
    incompatible = BigEndian(bytes, 72, 8);
    headerBytes = BigEndian(bytes, 100, 4);
    if (headerBytes < kQcow2Version3HeaderBytes || headerBytes > clusterBytes) {
      return kImageBrokenText;
    }
    if ((incompatible & ~kQcow2KnownIncompatible) != 0) return kUnknownFeatureText;
    if ((incompatible & kQcow2CorruptBit) != 0) return kCorruptText;
    const std::uint64_t compression =
        headerBytes > kQcow2CompressionTypeAt && bytes.size() > kQcow2CompressionTypeAt
            ? static_cast<unsigned char>(bytes[kQcow2CompressionTypeAt])
            : 0;
    if (compression > kQcow2CompressionZstd) return kCompressionText;
    if ((compression != 0) != ((incompatible & kQcow2CompressionTypeBit) != 0)) {
      return kImageBrokenText;
    }
  }
  header->hasDataFile = (incompatible & kQcow2DataFileBit) != 0;
  if (backingOffset != 0) {
    if (backingOffset > clusterBytes) return kImageBrokenText;
    if (backingBytes > kQcow2MaximumNameBytes || backingBytes > clusterBytes - backingOffset) {
      return kImageBadNameText;
    }
    if (backingBytes > 0) {
      if (backingOffset + backingBytes > size) return kImageBrokenText;
      std::string name;
      if (!ReadBounded(read, size, backingOffset, backingBytes, &name)) {
        return kImageUnreadableText;
      }
      if (name.size() != backingBytes) return kImageBrokenText;
      header->backing = name;
    }
  }
  const std::uint64_t extensionsEnd = backingOffset != 0 ? backingOffset : clusterBytes;
  if (const char* refusal = ReadQcow2Extensions(read, size, headerBytes, extensionsEnd, header)) {
    return refusal;
  }
  if (header->hasDataFile && !header->dataFile) return kNoDataFileText;
  return nullptr;
}

// A value as QEMU finds it: the first place `key` occurs, two bytes
// skipped ("=\""), up to the next quote.
bool DescriptorValue(std::string_view text, std::string_view key, std::size_t limit,
                     std::optional<std::string>* value, const char** refusal) {
  const std::size_t at = text.find(key);
  if (at == std::string_view::npos) return true;
  const std::size_t start = at + key.size() + 2;
  const std::size_t quote = start > text.size() ? std::string_view::npos : text.find('"', start);
  if (quote == std::string_view::npos) {
    *refusal = kImageBrokenText;
    return false;
  }
  if (quote - start > limit) {
    *refusal = kImageBadNameText;
    return false;
  }
  *value = std::string(text.substr(start, quote - start));
  return true;
}

// "CID=fffffffe" as the descriptor writes it; QEMU reads it as hex.
std::string CidValue(std::string_view text, std::string_view key) {
  std::size_t at = 0;
  while ((at = text.find(key, at)) != std::string_view::npos) {
    const bool lineStart = at == 0 || text[at - 1] == '\n' || text[at - 1] == '\r';
    at += key.size();
    if (!lineStart) continue;
    std::string_view rest = text.substr(at);
    std::size_t digits = 0;
    while (digits < rest.size() && digits < 8 &&
           std::isxdigit(static_cast<unsigned char>(rest[digits]))) {
      ++digits;
    }
    if (digits > 0) return std::string(rest.substr(0, digits));
  }
  return "ffffffff";
}

bool KnownCreateType(std::string_view type) {
  return type == "monolithicFlat" || type == "vmfs" || type == "vmfsSparse" || type == "seSparse" ||
         type == "twoGbMaxExtentSparse" || type == "twoGbMaxExtentFlat";
}

const char* ReadExtentLines(std::string_view text, std::vector<VmdkExtent>* extents) {
  while (!text.empty()) {
    const std::size_t end = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const std::string_view access = NextWord(line);
    if (access != "RW" && access != "RDONLY" && access != "NOACCESS") continue;
    // QEMU skips what it cannot read, and the disk behind it would move.
    if (access == "NOACCESS") return kExtentTypeText;
    if (extents->size() == kVmdkMaximumExtents) return kTooManyExtentsText;
    VmdkExtent extent;
    extent.access = std::string(access);
    if (!ReadSectors(NextWord(line), &extent.sectors) || extent.sectors == 0) {
      return kImageBrokenText;
    }
    extent.type = std::string(NextWord(line));
    while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
    if (line.empty() || line.front() != '"') return kImageBrokenText;
    const std::size_t close = line.find('"', 1);
    if (close == std::string_view::npos) return kImageBrokenText;
    extent.file = std::string(line.substr(1, close - 1));
    line.remove_prefix(close + 1);
    const std::string_view offset = NextWord(line);
    if (!offset.empty() && !ReadSectors(offset, &extent.offset)) return kImageBrokenText;
    if (!NextWord(line).empty()) return kImageBrokenText;
    // Raw device mappings and the like reach past any file; ZERO QEMU skips.
    if (extent.type != "FLAT" && extent.type != "VMFS" && extent.type != "SPARSE" &&
        extent.type != "VMFSSPARSE" && extent.type != "SESPARSE") {
      return kExtentTypeText;
    }
    // QEMU wants the offset of a FLAT extent and none of any other.
    if ((extent.type == "FLAT") != !offset.empty()) return kImageBrokenText;
    if (extent.offset > kMaximumSectors - extent.sectors) return kImageBrokenText;
    if (extent.file.empty() || extent.file.size() > kVmdkMaximumExtentNameBytes) {
      return kImageBadNameText;
    }
    extents->push_back(extent);
  }
  return nullptr;
}

const char* ReadSparse(const ReadImageBytes& read, std::uint64_t size, VmdkSparseHeader* header) {
  std::string bytes;
  if (!ReadBounded(read, size, 0, kVmdkSparseHeaderBytes, &bytes)) return kImageUnreadableText;
  if (bytes.size() < kVmdkSparseHeaderBytes) return kImageBrokenText;
  header->capacitySectors = LittleEndian(bytes, 12, 8);
  const std::uint64_t descriptorSector = LittleEndian(bytes, 28, 8);
  if (header->capacitySectors == 0 && descriptorSector != 0) {
    // QEMU takes the embedded descriptor for a descriptor file of extents.
    if (descriptorSector > size / kSectorBytes) return kImageBrokenText;
    std::string text;
    if (!ReadBounded(read, size, descriptorSector * kSectorBytes, kVmdkMaximumDescriptorBytes,
                     &text)) {
      return kImageUnreadableText;
    }
    const std::size_t nul = text.find('\0');
    if (nul == std::string::npos && descriptorSector * kSectorBytes + text.size() < size) {
      return kVmdkDescriptorTooLargeText;
    }
    text.resize(std::min(text.size(), nul));
    header->embedded = ReadVmdkDescriptorText(text);
    if (header->embedded->refusal != nullptr) return header->embedded->refusal;
  } else {
    // The footer of a stream takes the header's place, as in QEMU.
    if (LittleEndian(bytes, 56, 8) == kVmdkGrainDirectoryAtEnd) {
      if (size < kVmdkFooterBytes) return kImageBrokenText;
      std::string footer;
      if (!ReadBounded(read, size, size - kVmdkFooterBytes, kVmdkFooterBytes, &footer)) {
        return kImageUnreadableText;
      }
      if (footer.size() != kVmdkFooterBytes || LittleEndian(footer, 0, 8) != 1 ||
          LittleEndian(footer, 8, 4) != 0 || LittleEndian(footer, 12, 4) != kVmdkFooterMarker ||
          footer.substr(512, 4) != kVmdkSparseMagic || LittleEndian(footer, 1024, 16) != 0) {
        return kImageBrokenText;
      }
      bytes = footer.substr(512, kVmdkSparseHeaderBytes);
    }
    const std::uint64_t version = LittleEndian(bytes, 4, 4);
    const bool compressed = LittleEndian(bytes, 77, 2) == kVmdkCompressionDeflate;
    if (version > kVmdkMaximumVersion) return kImageFormatText;
    const std::uint64_t grainEntries = LittleEndian(bytes, 44, 4);
    if (grainEntries > kVmdkMaximumGrainTableEntries || grainEntries == 0 ||
        LittleEndian(bytes, 20, 8) == 0) {
      return kImageBrokenText;
    }
    // QEMU cannot write an allocated grain again once it is compressed, nor
    // a version 3 header's tracking of changed blocks.
    header->readOnly = compressed || version == kVmdkMaximumVersion;
  }
  std::string window;
  if (!ReadBounded(read, size, kVmdkParentWindowOffset, kVmdkParentWindowBytes, &window)) {
    return kImageUnreadableText;
  }
  window.resize(std::min(window.size(), window.find('\0')));
  const char* refusal = nullptr;
  if (!DescriptorValue(window, kVmdkParentKey, kVmdkMaximumNameBytes, &header->parent, &refusal)) {
    return refusal;
  }
  // An empty hint names no parent, for QEMU as well.
  if (header->parent && header->parent->empty()) header->parent.reset();
  return nullptr;
}

}  // namespace

ImageFormat FormatOfImageStart(std::string_view start) {
  if (start.substr(0, kQcow2Magic.size()) == kQcow2Magic) return ImageFormat::kQcow2;
  if (start.substr(0, kVmdkSparseMagic.size()) == kVmdkSparseMagic) return ImageFormat::kVmdk;
  if (start.substr(0, kVmdkDescriptorStart.size()) == kVmdkDescriptorStart) {
    return ImageFormat::kVmdk;
  }
  return ImageFormat::kRaw;
}

Qcow2Header ReadQcow2Header(const ReadImageBytes& read, std::uint64_t size) {
  Qcow2Header header;
  header.refusal = ReadQcow2(read, size, &header);
  return header;
}

VmdkDescriptor ReadVmdkDescriptorText(std::string_view text) {
  VmdkDescriptor descriptor;
  std::optional<std::string> createType;
  if (!DescriptorValue(text, "createType", kVmdkMaximumCreateTypeBytes, &createType,
                       &descriptor.refusal)) {
    return descriptor;
  }
  descriptor.createType = createType.value_or("");
  descriptor.refusal = ReadExtentLines(text, &descriptor.extents);
  if (descriptor.refusal != nullptr) return descriptor;
  if (!KnownCreateType(descriptor.createType)) {
    descriptor.refusal = kCreateTypeText;
    return descriptor;
  }
  if (descriptor.extents.empty()) {
    descriptor.refusal = kImageBrokenText;
    return descriptor;
  }
  // QEMU looks for the parent in the descriptor's first 20 sectors.
  if (!DescriptorValue(text.substr(0, kVmdkParentWindowBytes), kVmdkParentKey,
                       kVmdkMaximumNameBytes, &descriptor.parent, &descriptor.refusal)) {
    return descriptor;
  }
  if (descriptor.parent && descriptor.parent->empty()) descriptor.parent.reset();
  descriptor.cid = CidValue(text, "CID=");
  descriptor.parentCid = CidValue(text, "parentCID=");
  return descriptor;
}

VmdkSparseHeader ReadSparseVmdk(const ReadImageBytes& read, std::uint64_t size) {
  VmdkSparseHeader header;
  header.refusal = ReadSparse(read, size, &header);
  return header;
}
