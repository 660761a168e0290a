#include "player/boot_media.h"

#include <array>
#include <limits>
#include <regex>
#include <vector>

#include "platform/byte_order.h"

namespace {

constexpr std::size_t kCdSector = 2048;
constexpr std::uint64_t kPrimaryDescriptorSector = 16;
// SeaBIOS reads the boot record at this sector and nowhere else; OVMF
// finds it there too.
constexpr std::uint64_t kBootRecordSector = 17;

constexpr unsigned char kPrimaryDescriptorType = 0x01;
constexpr unsigned char kBootRecordType = 0x00;
constexpr std::string_view kVolumeStandardId = "CD001";
constexpr unsigned char kVolumeDescriptorVersion = 0x01;
// With the NUL after it, which SeaBIOS compares as well.
constexpr std::string_view kElToritoId("EL TORITO SPECIFICATION", 24);
constexpr std::size_t kVolumeIdAt = 40;
constexpr std::size_t kVolumeIdSize = 32;
constexpr std::size_t kPublisherAt = 318;
constexpr std::size_t kPublisherSize = 128;
constexpr std::size_t kElToritoIdAt = 7;
constexpr std::size_t kCatalogSectorAt = 0x47;

constexpr std::size_t kCatalogEntrySize = 32;
constexpr std::size_t kCatalogEntries = kCdSector / kCatalogEntrySize;
constexpr unsigned char kValidationHeader = 0x01;
constexpr unsigned char kBootable = 0x88;
constexpr unsigned char kNotBootable = 0x00;
constexpr unsigned char kSectionHeader = 0x90;
constexpr unsigned char kFinalSectionHeader = 0x91;
constexpr unsigned char kEntryExtension = 0x44;
// In a section entry's media byte and an extension's second byte: another
// extension follows.
constexpr unsigned char kExtensionFollows = 0x20;
constexpr unsigned char kPlatformBios = 0x00;
constexpr unsigned char kPlatformUefi = 0xEF;

constexpr std::size_t kDiskSector = 512;
constexpr std::size_t kBootCodeSize = 440;  // before the disk signature
constexpr std::size_t kPartitionTableAt = 446;
// "ER", its block size and block count; xorriso puts a jump in the count.
constexpr std::string_view kApplePartitionMapId = "ER";
constexpr std::size_t kApplePartitionMapHead = 8;
constexpr std::size_t kMbrPartitions = 4;
constexpr std::size_t kMbrPartitionSize = 16;
constexpr std::size_t kBootSignatureAt = 510;
constexpr unsigned char kMbrProtectiveType = 0xEE;
constexpr unsigned char kMbrEspType = 0xEF;

constexpr std::uint64_t kGptHeaderLba = 1;
constexpr std::string_view kGptSignature = "EFI PART";
constexpr std::size_t kGptMinHeaderSize = 92;
constexpr std::size_t kGptMinEntrySize = 128;
// A GPT usually has 128 entries of 128 bytes; these bounds allow far more
// and keep the one read of the entries small.
constexpr std::size_t kGptMaxEntrySize = 1024;
constexpr std::size_t kGptMaxEntriesBytes = 128 * 1024;
// C12A7328-F81F-11D2-BA4B-00A0C93EC93B as the disk holds it: the first
// three fields little-endian.
constexpr std::array<unsigned char, 16> kEspTypeGuid = {
    0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11, 0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};

unsigned char Byte(std::string_view bytes, std::size_t at) {
  return static_cast<unsigned char>(bytes[at]);
}

// Only a read that returns all it was asked for counts; a short one is the
// image's end.
bool ReadExactly(const ReadBytesAt& read, std::uint64_t offset, std::size_t count,
                 std::string* bytes) {
  bytes->clear();
  return read(offset, count, bytes) && bytes->size() == count;
}

// Whether the sector `sector` of `sectorSize` bytes starts inside the image:
// an entry that points past the end loads nothing.
bool SectorInside(const ReadBytesAt& read, std::uint64_t sector, std::size_t sectorSize) {
  if (sector > std::numeric_limits<std::uint64_t>::max() / sectorSize) return false;
  std::string byte;
  return ReadExactly(read, sector * sectorSize, 1, &byte);
}

// A field for messages: trailing blanks (and the NULs some tools pad with)
// go, and a byte that is no printable ASCII cannot reach a message.
std::string ShownField(std::string_view field) {
  while (!field.empty() && (field.back() == ' ' || field.back() == '\0')) field.remove_suffix(1);
  std::string shown(field);
  for (char& c : shown) {
    if (c < 0x20 || c > 0x7E) c = '?';
  }
  return shown;
}

bool IsVolumeDescriptor(std::string_view sector, unsigned char type) {
  return Byte(sector, 0) == type &&
         sector.substr(1, kVolumeStandardId.size()) == kVolumeStandardId &&
         Byte(sector, 6) == kVolumeDescriptorVersion;
}

void ReadVolumeNames(const ReadBytesAt& read, BootMedia* media) {
  std::string sector;
  if (!ReadExactly(read, kPrimaryDescriptorSector * kCdSector, kCdSector, &sector) ||
      !IsVolumeDescriptor(sector, kPrimaryDescriptorType)) {
    return;
  }
  media->volumeId = ShownField(std::string_view(sector).substr(kVolumeIdAt, kVolumeIdSize));
  media->publisher = ShownField(std::string_view(sector).substr(kPublisherAt, kPublisherSize));
  media->windowsSetup = IsWindowsSetupMedia(media->publisher, media->volumeId);
}

// The catalog's sector from the boot record, or 0 when there is none. A
// catalog at or before the boot record would be the descriptors themselves.
std::uint64_t CatalogSector(const ReadBytesAt& read) {
  std::string sector;
  if (!ReadExactly(read, kBootRecordSector * kCdSector, kCdSector, &sector) ||
      !IsVolumeDescriptor(sector, kBootRecordType)) {
    return 0;
  }
  if (std::string_view(sector).substr(kElToritoIdAt, kElToritoId.size()) != kElToritoId) return 0;
  const std::uint64_t catalog = LittleEndian(sector, kCatalogSectorAt, 4);
  return catalog > kBootRecordSector ? catalog : 0;
}

// The validation entry: its header, its key bytes and a checksum that makes
// the sum of its sixteen words zero (OVMF refuses the catalog otherwise).
bool ValidCatalogStart(std::string_view entry) {
  if (Byte(entry, 0) != kValidationHeader || Byte(entry, 30) != 0x55 || Byte(entry, 31) != 0xAA) {
    return false;
  }
  std::uint16_t sum = 0;
  for (std::size_t at = 0; at < kCatalogEntrySize; at += 2) {
    sum = static_cast<std::uint16_t>(sum + LittleEndian(entry, at, 2));
  }
  return sum == 0;
}

bool EntryBoots(const ReadBytesAt& read, std::string_view entry) {
  return Byte(entry, 0) == kBootable && SectorInside(read, LittleEndian(entry, 8, 4), kCdSector);
}

struct CatalogPlatforms {
  bool valid = false;
  bool bios = false;
  bool uefi = false;
};

// Both firmwares read the catalog's first sector only, so that is all that
// is read: there is no chain to follow, and a count that runs past the
// sector is a broken catalog.
CatalogPlatforms ReadCatalog(const ReadBytesAt& read, std::uint64_t catalogSector) {
  std::string sector;
  if (!ReadExactly(read, catalogSector * kCdSector, kCdSector, &sector)) return {};
  auto entry = [&](std::size_t index) {
    return std::string_view(sector).substr(index * kCatalogEntrySize, kCatalogEntrySize);
  };
  if (!ValidCatalogStart(entry(0))) return {};

  CatalogPlatforms found;
  // SeaBIOS boots the initial entry only, and only when the catalog itself
  // is for x86 BIOS; a BIOS section after a UEFI start does not help it.
  // OVMF looks at every bootable entry; its platform says whether it is the
  // FAT image with the UEFI loader.
  const unsigned char catalogPlatform = Byte(entry(0), 1);
  if (EntryBoots(read, entry(1))) {
    found.bios = catalogPlatform == kPlatformBios;
    found.uefi = catalogPlatform == kPlatformUefi;
  }
  std::size_t index = 2;
  bool moreSections = true;
  while (moreSections && index < kCatalogEntries) {
    const std::string_view header = entry(index++);
    if (Byte(header, 0) != kSectionHeader && Byte(header, 0) != kFinalSectionHeader) break;
    moreSections = Byte(header, 0) == kSectionHeader;
    const std::uint64_t count = LittleEndian(header, 2, 2);
    bool sectionBoots = false;
    for (std::uint64_t n = 0; n < count; ++n) {
      if (index >= kCatalogEntries) return {};
      const std::string_view sectionEntry = entry(index++);
      if (Byte(sectionEntry, 0) != kBootable && Byte(sectionEntry, 0) != kNotBootable) return {};
      sectionBoots = sectionBoots || EntryBoots(read, sectionEntry);
      bool extensionFollows = (Byte(sectionEntry, 1) & kExtensionFollows) != 0;
      while (extensionFollows) {
        if (index >= kCatalogEntries || Byte(entry(index), 0) != kEntryExtension) return {};
        extensionFollows = (Byte(entry(index++), 1) & kExtensionFollows) != 0;
      }
    }
    if (sectionBoots && Byte(header, 1) == kPlatformUefi) found.uefi = true;
  }
  found.valid = true;
  return found;
}

std::uint32_t Crc32(std::string_view bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

bool IsEspEntry(const ReadBytesAt& read, std::string_view entry) {
  for (std::size_t i = 0; i < kEspTypeGuid.size(); ++i) {
    if (Byte(entry, i) != kEspTypeGuid[i]) return false;
  }
  const std::uint64_t first = LittleEndian(entry, 32, 8);
  const std::uint64_t last = LittleEndian(entry, 40, 8);
  return first > kGptHeaderLba && first <= last && SectorInside(read, first, kDiskSector);
}

// The primary GPT as OVMF checks it: header and entries with their CRCs.
// OVMF would fall back to the backup header at the disk's end; a disk whose
// primary GPT is broken is left unknown instead.
bool GptHasEsp(const ReadBytesAt& read) {
  std::string header;
  if (!ReadExactly(read, kGptHeaderLba * kDiskSector, kDiskSector, &header) ||
      header.compare(0, kGptSignature.size(), kGptSignature) != 0) {
    return false;
  }
  const std::uint64_t headerSize = LittleEndian(header, 12, 4);
  if (headerSize < kGptMinHeaderSize || headerSize > kDiskSector) return false;
  std::string checked = header.substr(0, headerSize);
  checked.replace(16, 4, 4, '\0');
  if (Crc32(checked) != LittleEndian(header, 16, 4) ||
      LittleEndian(header, 24, 8) != kGptHeaderLba) {
    return false;
  }
  const std::uint64_t entriesLba = LittleEndian(header, 72, 8);
  const std::uint64_t count = LittleEndian(header, 80, 4);
  const std::uint64_t entrySize = LittleEndian(header, 84, 4);
  if (entrySize < kGptMinEntrySize || entrySize > kGptMaxEntrySize ||
      (entrySize & (entrySize - 1)) != 0 || count > kGptMaxEntriesBytes / entrySize ||
      entriesLba <= kGptHeaderLba ||
      entriesLba > std::numeric_limits<std::uint64_t>::max() / kDiskSector) {
    return false;
  }
  std::string entries;
  if (!ReadExactly(read, entriesLba * kDiskSector, count * entrySize, &entries) ||
      Crc32(entries) != LittleEndian(header, 88, 4)) {
    return false;
  }
  for (std::uint64_t n = 0; n < count; ++n) {
    if (IsEspEntry(read, std::string_view(entries).substr(n * entrySize, entrySize))) return true;
  }
  return false;
}

// osinfo-db's volume IDs of x64 setup media (os/microsoft.com/win-10.xml,
// win-11.xml, win-2k16.xml, win-2k19.xml, win-2k22.xml), searched as
// libosinfo searches them: anywhere unless anchored, case as written. The
// 32-bit media of Windows 10 are left out: their UEFI loader is for IA32,
// which a 64-bit OVMF cannot start, so they boot from BIOS.
constexpr const char* kWindowsSetupVolumeIds[] = {
    "^(J_)?(CCSN?A|C?CCOMA)_X64FREE?_",         // Windows 10 and 11, consumer editions
    "(J_)?CEDN?A_X64FREE?_",                    // Windows 10 Education
    "^(J_)?CENN?A_X64FREV_",                    // Windows 10 Enterprise
    "(J_)?CESN?N?_X64FREV_",                    // Windows 10 Enterprise LTSB
    "CESE_X64FREE_",                            // Windows 10 Enterprise LTSB evaluation
    "^(SSS_X64CHK|SSS_X64FREE?|SSS_X64FREV)_",  // Windows Server 2016, 2019, 2022
    "^(SESS_X64FREE?)_",                        // Windows Server 2016 and 2019 Essentials
    "^(SHV_X64CHK|SHV_X64FREE?)_",              // Hyper-V Server 2016
};
// osinfo-db's publisher of all those media, also searched.
constexpr std::string_view kWindowsSetupPublisher = "MICROSOFT CORPORATION";

const std::vector<std::regex>& WindowsSetupVolumeIds() {
  static const std::vector<std::regex> patterns = [] {
    std::vector<std::regex> compiled;
    for (const char* pattern : kWindowsSetupVolumeIds) compiled.emplace_back(pattern);
    return compiled;
  }();
  return patterns;
}

}  // namespace

BootMedia ReadCdBootMedia(const ReadBytesAt& read) {
  BootMedia media;
  ReadVolumeNames(read, &media);
  // A hybrid image's MBR and GPT do not count here: attached as a CD, the
  // firmware boots it by El Torito alone.
  const std::uint64_t catalogSector = CatalogSector(read);
  if (catalogSector == 0) return media;
  const CatalogPlatforms platforms = ReadCatalog(read, catalogSector);
  media.biosBoot = platforms.valid && platforms.bios;
  media.uefiBoot = platforms.valid && platforms.uefi;
  return media;
}

BootMedia ReadDiskBootMedia(const ReadBytesAt& read) {
  BootMedia media;
  std::string mbr;
  if (!ReadExactly(read, 0, kDiskSector, &mbr) || Byte(mbr, kBootSignatureAt) != 0x55 ||
      Byte(mbr, kBootSignatureAt + 1) != 0xAA) {
    return media;
  }
  // SeaBIOS jumps into any sector 0 that ends in 0x55AA, GPT disks included
  // (GRUB puts its first stage into a protective MBR). Code of nothing but
  // zeros boots nothing: tools that make a GPT for UEFI leave it so. A
  // hybrid CD's Apple partition map starts with a block of its own, which
  // is no boot code either.
  const std::size_t codeAt = mbr.compare(0, kApplePartitionMapId.size(), kApplePartitionMapId) == 0
                                 ? kApplePartitionMapHead
                                 : 0;
  const std::size_t firstCode = mbr.find_first_not_of('\0', codeAt);
  media.biosBoot = firstCode < kBootCodeSize;
  bool protective = false;
  for (std::size_t i = 0; i < kMbrPartitions; ++i) {
    const std::string_view partition =
        std::string_view(mbr).substr(kPartitionTableAt + i * kMbrPartitionSize, kMbrPartitionSize);
    const unsigned char type = Byte(partition, 4);
    if (type == kMbrProtectiveType) protective = true;
    const std::uint64_t first = LittleEndian(partition, 8, 4);
    if (type == kMbrEspType && first > 0 && LittleEndian(partition, 12, 4) > 0 &&
        SectorInside(read, first, kDiskSector)) {
      media.uefiBoot = true;
    }
  }
  // With a protective entry the firmware takes the disk as GPT, and the
  // other MBR entries (a hybrid MBR's) do not count.
  if (protective) media.uefiBoot = GptHasEsp(read);
  return media;
}

bool IsWindowsSetupMedia(std::string_view publisher, std::string_view volumeId) {
  if (publisher.find(kWindowsSetupPublisher) == std::string_view::npos) return false;
  for (const std::regex& pattern : WindowsSetupVolumeIds()) {
    if (std::regex_search(volumeId.begin(), volumeId.end(), pattern)) return true;
  }
  return false;
}
