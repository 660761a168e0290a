#include "player/boot_media.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kCdSector = 2048;
constexpr std::size_t kDiskSector = 512;

// An image in memory; reads past its end return what is there.
struct Image {
  explicit Image(std::size_t size) : bytes(size, '\0') {}

  void Put(std::size_t at, std::string_view data) { bytes.replace(at, data.size(), data); }
  void PutLittleEndian(std::size_t at, std::uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
  }
  ReadBytesAt Reader() const {
    return [this](std::uint64_t offset, std::size_t count, std::string* out) {
      *out = offset < bytes.size() ? bytes.substr(offset, count) : std::string();
      return true;
    };
  }

  std::string bytes;
};

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values) bytes += static_cast<char>(value);
  return bytes;
}

std::string Entry(std::string_view start) {
  std::string entry(start);
  entry.resize(32, '\0');
  return entry;
}

std::string ValidationEntry(int platform) {
  std::string entry = Entry(Bytes({0x01, platform}));
  entry[30] = 0x55;
  entry[31] = static_cast<char>(0xAA);
  std::uint16_t sum = 0;
  for (std::size_t at = 0; at < 32; at += 2) {
    sum += static_cast<std::uint16_t>(static_cast<unsigned char>(entry[at]) |
                                      static_cast<unsigned char>(entry[at + 1]) << 8);
  }
  const std::uint16_t checksum = static_cast<std::uint16_t>(0x10000 - sum);
  entry[28] = static_cast<char>(checksum & 0xFF);
  entry[29] = static_cast<char>(checksum >> 8);
  return entry;
}

constexpr int kBootable = 0x88;
constexpr int kNotBootable = 0x00;
constexpr std::uint32_t kLoadSector = 20;

std::string BootEntry(int indicator, std::uint32_t loadSector = kLoadSector, int media = 0) {
  return Entry(Bytes({indicator, media, 0, 0, 0, 0, 4, 0, static_cast<int>(loadSector & 0xFF),
                      static_cast<int>(loadSector >> 8 & 0xFF), 0, 0}));
}

std::string SectionHeader(int id, int platform, int count) {
  return Entry(Bytes({id, platform, count & 0xFF, count >> 8}));
}

constexpr std::uint32_t kCatalogSector = 18;

void PutPrimaryDescriptor(Image* image, std::string_view volumeId, std::string_view publisher) {
  const std::size_t at = 16 * kCdSector;
  image->Put(at, Bytes({0x01}) + "CD001" + Bytes({0x01}));
  image->Put(at + 40, std::string(32, ' '));
  image->Put(at + 40, volumeId);
  image->Put(at + 318, std::string(128, ' '));
  image->Put(at + 318, publisher);
}

// A CD of 24 sectors whose boot record names `catalogSector`, holding
// `entries`; every load sector of the tests lies inside it.
Image ElToritoCd(const std::vector<std::string>& entries,
                 std::uint32_t catalogSector = kCatalogSector) {
  Image image(24 * kCdSector);
  PutPrimaryDescriptor(&image, "TRENNWICK_TEST", "");
  image.Put(17 * kCdSector, Bytes({0x00}) + "CD001" + Bytes({0x01}) + "EL TORITO SPECIFICATION");
  image.PutLittleEndian(17 * kCdSector + 0x47, catalogSector, 4);
  std::string catalog;
  for (const std::string& entry : entries) catalog += entry;
  if (catalogSector * kCdSector + catalog.size() <= image.bytes.size()) {
    image.Put(catalogSector * kCdSector, catalog);
  }
  return image;
}

void ExpectPlatforms(const BootMedia& media, bool bios, bool uefi) {
  EXPECT_EQ(media.biosBoot, bios);
  EXPECT_EQ(media.uefiBoot, uefi);
}

TEST(CdBootMedia, ReadsEachPlatformOfTheCatalog) {
  // BIOS only: the catalog's own platform and its initial entry.
  ExpectPlatforms(
      ReadCdBootMedia(ElToritoCd({ValidationEntry(0x00), BootEntry(kBootable)}).Reader()), true,
      false);
  // UEFI only, as xorriso writes it for a single EFI image.
  ExpectPlatforms(
      ReadCdBootMedia(ElToritoCd({ValidationEntry(0xEF), BootEntry(kBootable)}).Reader()), false,
      true);
  // Both, as grub-mkrescue and Windows setup media have it: a final UEFI
  // section after the BIOS initial entry.
  ExpectPlatforms(
      ReadCdBootMedia(ElToritoCd({ValidationEntry(0x00), BootEntry(kBootable),
                                  SectionHeader(0x91, 0xEF, 1), BootEntry(kBootable, 21)})
                          .Reader()),
      true, true);
}

TEST(CdBootMedia, SectionsCountOnlyWithABootableEntryForTheirPlatform) {
  // A BIOS section after a non-bootable initial entry: SeaBIOS boots the
  // initial entry only. A Mac section does not count. The UEFI section's
  // second entry boots and carries an extension.
  std::string extended = BootEntry(kBootable, 22, 0x20);
  const BootMedia several = ReadCdBootMedia(
      ElToritoCd({ValidationEntry(0x00), BootEntry(kNotBootable), SectionHeader(0x90, 0x00, 1),
                  BootEntry(kBootable), SectionHeader(0x90, 0x02, 1), BootEntry(kBootable),
                  SectionHeader(0x91, 0xEF, 2), BootEntry(kNotBootable), extended,
                  Entry(Bytes({0x44, 0x00}))})
          .Reader());
  ExpectPlatforms(several, false, true);

  // A UEFI section whose entries do not boot.
  ExpectPlatforms(ReadCdBootMedia(ElToritoCd({ValidationEntry(0x00), BootEntry(kBootable),
                                              SectionHeader(0x91, 0xEF, 2), BootEntry(kNotBootable),
                                              BootEntry(kNotBootable)})
                                      .Reader()),
                  true, false);

  // Sections are read up to the final header; what follows it is not.
  ExpectPlatforms(ReadCdBootMedia(ElToritoCd({ValidationEntry(0x00), BootEntry(kBootable),
                                              SectionHeader(0x91, 0x02, 0),
                                              SectionHeader(0x91, 0xEF, 1), BootEntry(kBootable)})
                                      .Reader()),
                  true, false);
}

TEST(CdBootMedia, PlacesPastTheEndAreUnknown) {
  // The catalog beyond the image.
  ExpectPlatforms(
      ReadCdBootMedia(ElToritoCd({ValidationEntry(0x00), BootEntry(kBootable)}, 4000).Reader()),
      false, false);
  // An image that ends inside the catalog's sector.
  Image cut = ElToritoCd({ValidationEntry(0x00), BootEntry(kBootable)});
  cut.bytes.resize(kCatalogSector * kCdSector + 64);
  ExpectPlatforms(ReadCdBootMedia(cut.Reader()), false, false);
  // Entries whose images start past the end load nothing.
  ExpectPlatforms(
      ReadCdBootMedia(ElToritoCd({ValidationEntry(0x00), BootEntry(kBootable, 5000),
                                  SectionHeader(0x91, 0xEF, 1), BootEntry(kBootable, 0xFFFFFF)})
                          .Reader()),
      false, false);
}

TEST(CdBootMedia, BrokenCatalogsAreUnknown) {
  const std::vector<std::string> good = {ValidationEntry(0x00), BootEntry(kBootable)};
  // A catalog that points at the boot record itself, at the primary
  // descriptor, or at the image's start.
  for (std::uint32_t sector : {17u, 16u, 0u}) {
    ExpectPlatforms(ReadCdBootMedia(ElToritoCd(good, sector).Reader()), false, false);
  }

  std::string badChecksum = ValidationEntry(0x00);
  badChecksum[28] = static_cast<char>(badChecksum[28] + 1);
  ExpectPlatforms(ReadCdBootMedia(ElToritoCd({badChecksum, BootEntry(kBootable)}).Reader()), false,
                  false);

  std::string badKey = ValidationEntry(0x00);
  badKey[31] = 0x55;
  ExpectPlatforms(ReadCdBootMedia(ElToritoCd({badKey, BootEntry(kBootable)}).Reader()), false,
                  false);

  // A count that runs past the catalog's sector.
  ExpectPlatforms(
      ReadCdBootMedia(ElToritoCd({ValidationEntry(0x00), BootEntry(kBootable),
                                  SectionHeader(0x91, 0xEF, 0xFFFF), BootEntry(kBootable)})
                          .Reader()),
      false, false);

  // An entry that is neither bootable nor not bootable.
  ExpectPlatforms(ReadCdBootMedia(ElToritoCd({ValidationEntry(0x00), BootEntry(kBootable),
                                              SectionHeader(0x91, 0xEF, 1), BootEntry(0x17)})
                                      .Reader()),
                  false, false);

  // An extension announced but missing.
  ExpectPlatforms(
      ReadCdBootMedia(ElToritoCd({ValidationEntry(0x00), BootEntry(kBootable),
                                  SectionHeader(0x91, 0xEF, 1), BootEntry(kBootable, 21, 0x20)})
                          .Reader()),
      false, false);

  // Without the El Torito boot record.
  Image noRecord = ElToritoCd(good);
  noRecord.Put(17 * kCdSector + 7, "EL TORITO SPECIFICATIOM");
  ExpectPlatforms(ReadCdBootMedia(noRecord.Reader()), false, false);
}

TEST(CdBootMedia, HeadersThatAlwaysAnnounceMoreEndAtTheSectorsEnd) {
  std::vector<std::string> entries = {ValidationEntry(0x00), BootEntry(kBootable)};
  while (entries.size() < 64) entries.push_back(SectionHeader(0x90, 0xEF, 0));
  ExpectPlatforms(ReadCdBootMedia(ElToritoCd(entries).Reader()), true, false);
}

TEST(CdBootMedia, AFailedReadIsUnknown) {
  const ReadBytesAt failing = [](std::uint64_t, std::size_t, std::string*) { return false; };
  const BootMedia media = ReadCdBootMedia(failing);
  ExpectPlatforms(media, false, false);
  EXPECT_EQ(media.volumeId, "");
}

TEST(CdBootMedia, IgnoresTheMbrOfAHybridImage) {
  Image hybrid = ElToritoCd({ValidationEntry(0x00), BootEntry(kBootable)});
  hybrid.Put(0, "\xEB\x63");
  hybrid.Put(446 + 4, "\xEF");
  hybrid.PutLittleEndian(446 + 8, 4, 4);
  hybrid.PutLittleEndian(446 + 12, 8, 4);
  hybrid.Put(510, "\x55\xAA");
  ExpectPlatforms(ReadCdBootMedia(hybrid.Reader()), true, false);
  EXPECT_TRUE(ReadDiskBootMedia(hybrid.Reader()).uefiBoot);
}

TEST(CdBootMedia, ReadsTheVolumeNamesForMessages) {
  Image cd = ElToritoCd({ValidationEntry(0x00), BootEntry(kBootable)});
  PutPrimaryDescriptor(&cd, "CCCOMA_X64FRE_EN-US_DV9", "MICROSOFT CORPORATION");
  BootMedia media = ReadCdBootMedia(cd.Reader());
  EXPECT_EQ(media.volumeId, "CCCOMA_X64FRE_EN-US_DV9");
  EXPECT_EQ(media.publisher, "MICROSOFT CORPORATION");
  EXPECT_TRUE(media.windowsSetup);

  PutPrimaryDescriptor(&cd, std::string("NAME\x1B[2J\n\xFC", 10), "");
  media = ReadCdBootMedia(cd.Reader());
  EXPECT_EQ(media.volumeId, "NAME?[2J??");
  EXPECT_FALSE(media.windowsSetup);

  // Not a primary volume descriptor: no names.
  cd.Put(16 * kCdSector, "\x02");
  EXPECT_EQ(ReadCdBootMedia(cd.Reader()).volumeId, "");
}

std::uint32_t Crc32(std::string_view bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit) crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return ~crc;
}

const std::string kEspType = Bytes({0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11, 0xBA, 0x4B,
                                    0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B});
// Linux file system data, 0FC63DAF-8483-4772-8E79-3D69D8477DE4.
const std::string kLinuxType = Bytes({0xAF, 0x3D, 0xC6, 0x0F, 0x83, 0x84, 0x72, 0x47, 0x8E, 0x79,
                                      0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4});

void PutMbrPartition(Image* image, int index, int type, std::uint32_t first,
                     std::uint32_t sectors) {
  const std::size_t at = 446 + 16 * index;
  image->Put(at + 4, Bytes({type}));
  image->PutLittleEndian(at + 8, first, 4);
  image->PutLittleEndian(at + 12, sectors, 4);
  image->Put(510, "\x55\xAA");
}

void PutBootCode(Image* image) {
  image->Put(0, "\xEB\x63\x90\x90\xFA\x31\xC0");
}

// A disk of 64 sectors with a protective MBR and a GPT of four entries at
// sector 2, the first of type `type` at sectors 34 to 63.
Image GptDisk(const std::string& type, std::uint64_t first = 34) {
  Image disk(64 * kDiskSector);
  PutMbrPartition(&disk, 0, 0xEE, 1, 63);
  std::string entries(4 * 128, '\0');
  entries.replace(0, 16, type);
  for (std::size_t i = 0; i < 8; ++i) {
    entries[32 + i] = static_cast<char>(first >> (8 * i));
    entries[40 + i] = static_cast<char>(std::uint64_t{63} >> (8 * i));
  }
  disk.Put(2 * kDiskSector, entries);
  const std::size_t header = kDiskSector;
  disk.Put(header, "EFI PART");
  disk.PutLittleEndian(header + 8, 0x00010000, 4);
  disk.PutLittleEndian(header + 12, 92, 4);
  disk.PutLittleEndian(header + 24, 1, 8);
  disk.PutLittleEndian(header + 72, 2, 8);
  disk.PutLittleEndian(header + 80, 4, 4);
  disk.PutLittleEndian(header + 84, 128, 4);
  disk.PutLittleEndian(header + 88, Crc32(entries), 4);
  disk.PutLittleEndian(header + 16, Crc32(std::string_view(disk.bytes).substr(header, 92)), 4);
  return disk;
}

TEST(DiskBootMedia, MbrBootsFromBiosWhenItHoldsCode) {
  Image disk(64 * kDiskSector);
  PutMbrPartition(&disk, 0, 0x83, 2048, 100000);
  ExpectPlatforms(ReadDiskBootMedia(disk.Reader()), false, false);
  PutBootCode(&disk);
  ExpectPlatforms(ReadDiskBootMedia(disk.Reader()), true, false);
  // No signature: SeaBIOS does not boot it.
  disk.Put(510, "\x55\x55");
  ExpectPlatforms(ReadDiskBootMedia(disk.Reader()), false, false);
}

TEST(DiskBootMedia, MbrEspBootsFromUefi) {
  Image disk(64 * kDiskSector);
  PutMbrPartition(&disk, 1, 0xEF, 8, 50);
  ExpectPlatforms(ReadDiskBootMedia(disk.Reader()), false, true);
  // Its start past the disk's end.
  PutMbrPartition(&disk, 1, 0xEF, 4000, 50);
  ExpectPlatforms(ReadDiskBootMedia(disk.Reader()), false, false);
}

TEST(DiskBootMedia, GptWithAnEspBootsFromUefi) {
  Image disk = GptDisk(kEspType);
  ExpectPlatforms(ReadDiskBootMedia(disk.Reader()), false, true);
  // GRUB's first stage in the protective MBR boots it from BIOS too.
  PutBootCode(&disk);
  ExpectPlatforms(ReadDiskBootMedia(disk.Reader()), true, true);

  ExpectPlatforms(ReadDiskBootMedia(GptDisk(kLinuxType).Reader()), false, false);
}

TEST(DiskBootMedia, BrokenOrCutGptIsNoUefiBoot) {
  Image headerCrc = GptDisk(kEspType);
  headerCrc.Put(kDiskSector + 16, "\x01\x02");
  ExpectPlatforms(ReadDiskBootMedia(headerCrc.Reader()), false, false);

  Image entriesCrc = GptDisk(kEspType);
  entriesCrc.Put(2 * kDiskSector + 100, "x");
  ExpectPlatforms(ReadDiskBootMedia(entriesCrc.Reader()), false, false);

  // A hybrid MBR's ESP entry does not count once the GPT is broken.
  PutMbrPartition(&entriesCrc, 1, 0xEF, 34, 30);
  ExpectPlatforms(ReadDiskBootMedia(entriesCrc.Reader()), false, false);

  Image cutEntries = GptDisk(kEspType);
  cutEntries.bytes.resize(2 * kDiskSector + 200);
  ExpectPlatforms(ReadDiskBootMedia(cutEntries.Reader()), false, false);

  ExpectPlatforms(ReadDiskBootMedia(GptDisk(kEspType, 64).Reader()), false, false);

  Image cutMbr = GptDisk(kEspType);
  PutBootCode(&cutMbr);
  cutMbr.bytes.resize(kDiskSector - 1);
  ExpectPlatforms(ReadDiskBootMedia(cutMbr.Reader()), false, false);
}

TEST(DiskBootMedia, AbsurdEntryCountsAreNotRead) {
  Image disk = GptDisk(kEspType);
  disk.PutLittleEndian(kDiskSector + 80, 0xFFFFFFFF, 4);
  disk.PutLittleEndian(kDiskSector + 16, 0, 4);
  disk.PutLittleEndian(kDiskSector + 16,
                       Crc32(std::string_view(disk.bytes).substr(kDiskSector, 92)), 4);
  std::size_t largest = 0;
  const ReadBytesAt read = [&](std::uint64_t offset, std::size_t count, std::string* out) {
    largest = std::max(largest, count);
    return disk.Reader()(offset, count, out);
  };
  ExpectPlatforms(ReadDiskBootMedia(read), false, false);
  EXPECT_LE(largest, kDiskSector);
}

TEST(WindowsSetupMedia, MatchesMicrosoftsX64SetupMedia) {
  for (const char* volumeId :
       {"CCCOMA_X64FRE_EN-US_DV9", "CCCOMA_X64FRE_DE-DE_DV9", "CCSA_X64FRE_EN-US_DV5",
        "J_CCSA_X64FRE_JA-JP_DV5", "CENA_X64FREV_EN-US_DV9", "CESNN_X64FREV_EN-US_DV5",
        "SSS_X64FREE_EN-US_DV9", "SSS_X64FREV_DE-DE_DV5"}) {
    EXPECT_TRUE(IsWindowsSetupMedia("MICROSOFT CORPORATION", volumeId)) << volumeId;
  }
}

TEST(WindowsSetupMedia, NearMissesDoNotMatch) {
  EXPECT_FALSE(IsWindowsSetupMedia("", "CCCOMA_X64FRE_EN-US_DV9"));
  EXPECT_FALSE(IsWindowsSetupMedia("MICROSOFT", "CCCOMA_X64FRE_EN-US_DV9"));
  for (const char* volumeId :
       {"CCCOMA_X64FRE", "CCCOMA_X86FRE_EN-US_DV9", "CCSA_X86FRE_EN-US_DV5",
        "IR5_CCSA_X64FRE_EN-US_DV5", "XSSS_X64FREE_EN-US_DV9", "GRMCULFRER_EN_DVD",
        "cccoma_x64fre_en-us_dv9", "TRENNWICK_LINUX", ""}) {
    EXPECT_FALSE(IsWindowsSetupMedia("MICROSOFT CORPORATION", volumeId)) << volumeId;
  }
}

}  // namespace
