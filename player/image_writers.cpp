#include "player/image_writers.h"

namespace {

constexpr std::uint64_t kSectorBytes = 512;
constexpr std::uint64_t kClusterBits = 16;
constexpr std::uint64_t kClusterBytes = 1ULL << kClusterBits;
// One L2 table of 8-byte entries maps this much of the disk.
constexpr std::uint64_t kBytesPerL1Entry = kClusterBytes / 8 * kClusterBytes;
// QEMU's largest L1 table (QCOW_MAX_L1_SIZE, 32 MiB of entries).
constexpr std::uint64_t kMaximumL1Entries = 32ULL * 1024 * 1024 / 8;
constexpr std::uint64_t kHeaderBytes = 104;
constexpr std::uint64_t kRefcountOrder = 4;  // 16-bit refcounts

void PutBigEndian(std::string& bytes, std::uint64_t at, std::uint64_t value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    bytes[at + static_cast<std::uint64_t>(i)] = static_cast<char>(value & 0xFF);
    value >>= 8;
  }
}

bool WritableName(const std::string& name) {
  return !name.empty() && name.size() <= 511 &&
         name.find_first_of("\"\r\n", 0) == std::string::npos &&
         name.find('\0') == std::string::npos;
}

}  // namespace

bool WriteVmdkDescriptor(const VmdkDescriptor& original,
                         const std::vector<std::string>& extentNames, std::string* text) {
  if (extentNames.size() != original.extents.size() || original.extents.empty()) return false;
  // Values the reader took from the image: only what QEMU's parsing keeps.
  auto hex = [](const std::string& value) {
    return !value.empty() && value.size() <= 8 &&
           value.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
  };
  if (!hex(original.cid) || !hex(original.parentCid)) return false;
  if (original.createType.empty() ||
      original.createType.find_first_of("\"\r\n", 0) != std::string::npos ||
      original.createType.find('\0') != std::string::npos) {
    return false;
  }
  std::string written = "# Disk DescriptorFile\nversion=1\nCID=" + original.cid +
                        "\nparentCID=" + original.parentCid + "\ncreateType=\"" +
                        original.createType + "\"\n\n# Extent description\n";
  for (std::size_t i = 0; i < extentNames.size(); ++i) {
    const VmdkExtent& extent = original.extents[i];
    if (!WritableName(extentNames[i])) return false;
    // QEMU reads only RW lines; a layer the guest may not write is opened
    // read-only as a whole.
    written +=
        "RW " + std::to_string(extent.sectors) + " " + extent.type + " \"" + extentNames[i] + "\"";
    if (extent.type == "FLAT") written += " " + std::to_string(extent.offset);
    written += "\n";
  }
  if (written.size() > kVmdkWrittenDescriptorBytes) return false;
  *text = written;
  return true;
}

bool WriteQcow2Overlay(std::uint64_t virtualSize, std::string* bytes) {
  const std::uint64_t size = (virtualSize + kSectorBytes - 1) / kSectorBytes * kSectorBytes;
  if (size < virtualSize || size == 0) return false;
  const std::uint64_t l1Entries = (size + kBytesPerL1Entry - 1) / kBytesPerL1Entry;
  if (l1Entries > kMaximumL1Entries) return false;
  const std::uint64_t l1Clusters = (l1Entries * 8 + kClusterBytes - 1) / kClusterBytes;
  // Cluster 0 the header, 1 the refcount table, 2 its one block, then L1.
  const std::uint64_t refcountTable = kClusterBytes;
  const std::uint64_t refcountBlock = 2 * kClusterBytes;
  const std::uint64_t l1Table = 3 * kClusterBytes;
  const std::uint64_t clusters = 3 + l1Clusters;
  std::string image(clusters * kClusterBytes, '\0');
  image.replace(0, 4, "QFI\xFB");
  PutBigEndian(image, 4, 3, 4);  // version
  PutBigEndian(image, 20, kClusterBits, 4);
  PutBigEndian(image, 24, size, 8);
  PutBigEndian(image, 36, l1Entries, 4);
  PutBigEndian(image, 40, l1Table, 8);
  PutBigEndian(image, 48, refcountTable, 8);
  PutBigEndian(image, 56, 1, 4);  // refcount table clusters
  PutBigEndian(image, 96, kRefcountOrder, 4);
  PutBigEndian(image, 100, kHeaderBytes, 4);
  // The header extensions end right after the header (eight zero bytes).
  PutBigEndian(image, refcountTable, refcountBlock, 8);
  for (std::uint64_t cluster = 0; cluster < clusters; ++cluster) {
    PutBigEndian(image, refcountBlock + cluster * 2, 1, 2);
  }
  *bytes = std::move(image);
  return true;
}
