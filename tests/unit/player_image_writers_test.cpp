#include "player/image_writers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "player/image_readers.h"
#include "test_directory.h"

namespace {

VmdkDescriptor SplitSparse(int extents) {
  std::string text =
      "# Disk DescriptorFile\nversion=1\nCID=0badcafe\nparentCID=12345678\n"
      "createType=\"twoGbMaxExtentSparse\"\nparentFileNameHint=\"/home/u/secret.vmdk\"\n";
  for (int i = 0; i < extents; ++i) {
    text += "RW 4192256 SPARSE \"d-s" + std::to_string(i) + ".vmdk\"\n";
  }
  return ReadVmdkDescriptorText(text);
}

std::vector<std::string> Fdsets(int count, int first) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back("/dev/fdset/" + std::to_string(first + i));
  return names;
}

TEST(VmdkDescriptorWriter, NamesOnlyWhatWasHandedOverAndKeepsWhatQemuChecks) {
  const VmdkDescriptor original = SplitSparse(3);
  ASSERT_EQ(original.refusal, nullptr);
  std::string text;
  ASSERT_TRUE(WriteVmdkDescriptor(original, Fdsets(3, 4), &text));
  EXPECT_EQ(text,
            "# Disk DescriptorFile\nversion=1\nCID=0badcafe\nparentCID=12345678\n"
            "createType=\"twoGbMaxExtentSparse\"\n\n# Extent description\n"
            "RW 4192256 SPARSE \"/dev/fdset/4\"\nRW 4192256 SPARSE \"/dev/fdset/5\"\n"
            "RW 4192256 SPARSE \"/dev/fdset/6\"\n");
  // QEMU reads back what the player meant, and finds no parent to open.
  const VmdkDescriptor reread = ReadVmdkDescriptorText(text);
  ASSERT_EQ(reread.refusal, nullptr);
  EXPECT_FALSE(reread.parent.has_value());
  ASSERT_EQ(reread.extents.size(), 3u);
  EXPECT_EQ(reread.extents[2].file, "/dev/fdset/6");
  EXPECT_EQ(reread.cid, "0badcafe");
}

TEST(VmdkDescriptorWriter, TakesAnyCountOfFlatOrSparseExtents) {
  // A 100 GB disk split in 2 GB files has 50 extents.
  const VmdkDescriptor fifty = SplitSparse(50);
  std::string text;
  ASSERT_TRUE(WriteVmdkDescriptor(fifty, Fdsets(50, 1), &text));
  EXPECT_EQ(ReadVmdkDescriptorText(text).extents.size(), 50u);

  const VmdkDescriptor flat = ReadVmdkDescriptorText(
      "# Disk DescriptorFile\ncreateType=\"twoGbMaxExtentFlat\"\n"
      "RDONLY 8 FLAT \"a-f001.vmdk\" 0\nRW 16 FLAT \"a-f002.vmdk\" 32\nRW 8 VMFS \"c.vmdk\"\n");
  ASSERT_EQ(flat.refusal, nullptr);
  ASSERT_TRUE(WriteVmdkDescriptor(flat, {"C:\\tmp\\a 1.vmdk", "C:\\tmp\\b,2.vmdk", "c"}, &text));
  EXPECT_EQ(text,
            "# Disk DescriptorFile\nversion=1\nCID=ffffffff\nparentCID=ffffffff\n"
            "createType=\"twoGbMaxExtentFlat\"\n\n# Extent description\n"
            "RW 8 FLAT \"C:\\tmp\\a 1.vmdk\" 0\nRW 16 FLAT \"C:\\tmp\\b,2.vmdk\" 32\n"
            "RW 8 VMFS \"c\"\n");
}

TEST(VmdkDescriptorWriter, RefusesNamesThatWouldBreakOrAddLines) {
  const VmdkDescriptor original = SplitSparse(1);
  std::string text = "unchanged";
  for (const std::string& hostile :
       {std::string("a\"\nRW 8 FLAT \"/etc/shadow\" 0"), std::string("a\rb"),
        std::string("a\nparentFileNameHint=\"x\""), std::string("a\0b", 3), std::string(),
        std::string(512, 'a')}) {
    EXPECT_FALSE(WriteVmdkDescriptor(original, {hostile}, &text)) << hostile;
  }
  EXPECT_FALSE(WriteVmdkDescriptor(original, Fdsets(2, 1), &text));
  EXPECT_EQ(text, "unchanged");
  // A descriptor longer than QEMU rewrites whole when it updates the CID.
  const VmdkDescriptor many = SplitSparse(30);
  EXPECT_FALSE(WriteVmdkDescriptor(
      many, std::vector<std::string>(30, "C:\\" + std::string(400, 'x') + ".vmdk"), &text));
}

TEST(Qcow2OverlayWriter, WritesAnEmptyImageOfTheDisksSizeWithoutABackingName) {
  std::string image;
  ASSERT_TRUE(WriteQcow2Overlay(5ULL * 1024 * 1024 * 1024 + 100, &image));
  const auto read = [&image](std::uint64_t offset, std::size_t count, std::string* bytes) {
    *bytes = image.substr(static_cast<std::size_t>(offset), count);
    return true;
  };
  const Qcow2Header header = ReadQcow2Header(read, image.size());
  ASSERT_EQ(header.refusal, nullptr);
  // Rounded up to whole sectors, as QEMU wants a qcow2's size.
  EXPECT_EQ(header.virtualSize, 5ULL * 1024 * 1024 * 1024 + 512);
  EXPECT_FALSE(header.backing.has_value());
  EXPECT_FALSE(header.hasDataFile);
  EXPECT_FALSE(WriteQcow2Overlay(0, &image));
  EXPECT_FALSE(WriteQcow2Overlay(~0ULL, &image));
}

// QEMU's own tool finds nothing wrong with the overlay.
TEST(Qcow2OverlayWriter, PassesQemuImgCheck) {
  if (std::system("qemu-img --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no qemu-img";
  TestDirectory directory;
  const std::filesystem::path path = directory.path() / "overlay.qcow2";
  for (std::uint64_t size : {1ULL << 20, 5ULL << 30, (3ULL << 40) + 512}) {
    std::string image;
    ASSERT_TRUE(WriteQcow2Overlay(size, &image));
    std::ofstream(path, std::ios::binary) << image;
    const std::string command = "qemu-img check -q -f qcow2 '" + path.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << size;
    const std::string info = "qemu-img info -f qcow2 --output=json '" + path.string() +
                             "' | grep -q '\"virtual-size\": " + std::to_string(size) + ",'";
    EXPECT_EQ(std::system(info.c_str()), 0) << size;
  }
}

}  // namespace
