#include "player/image_parts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "player/json_reader.h"

namespace {

using Parts = std::vector<ImagePart>;

// As qemu-img 7.2 reports a qcow2 with an external data file given relative.
const char kDataFileReport[] = R"([
    {
        "virtual-size": 1048576,
        "filename": "/home/u/vm/top2.qcow2",
        "cluster-size": 65536,
        "format": "qcow2",
        "format-specific": {
            "type": "qcow2",
            "data": {
                "compat": "1.1",
                "data-file": "rel.bin",
                "data-file-raw": false,
                "corrupt": false
            }
        },
        "dirty-flag": false
    }
])";

TEST(ImageParts, ReadsBackingFilesExtentsAndDataFiles) {
  const auto data = ReadImageLayout(kDataFileReport, "/home/u/vm/top2.qcow2", '/');
  ASSERT_TRUE(data);
  EXPECT_EQ(data->parts, (Parts{{"/home/u/vm/rel.bin", true}}));
  EXPECT_FALSE(data->monolithicFlat);

  const auto chain = ReadImageLayout(
      R"([{"filename": "/a/top.qcow2", "format": "qcow2", "backing-filename": "base.qcow2",
           "full-backing-filename": "/a/base.qcow2"},
          {"filename": "/a/base.qcow2", "format": "qcow2", "backing-filename": "/b/root.vmdk"},
          {"filename": "/b/root.vmdk", "format": "vmdk", "format-specific": {"type": "vmdk",
           "data": {"create-type": "twoGbMaxExtentFlat", "extents": [
             {"filename": "/b/root-f001.vmdk", "format": "FLAT"},
             {"filename": "root-f002.vmdk", "format": "FLAT"}]}}}])",
      "/a/top.qcow2", '/');
  ASSERT_TRUE(chain);
  // Backing files are only read, whatever the top image does.
  EXPECT_EQ(chain->parts, (Parts{{"/a/base.qcow2", false},
                                 {"/b/root.vmdk", false},
                                 {"/b/root-f001.vmdk", false},
                                 {"/b/root-f002.vmdk", false}}));

  const auto flat = ReadImageLayout(
      R"([{"filename": "/a/d.vmdk", "format": "vmdk", "format-specific": {"type": "vmdk",
           "data": {"create-type": "monolithicFlat", "extents": [
             {"filename": "/x/victim.bin", "format": "FLAT"}]}}}])",
      "/a/d.vmdk", '/');
  ASSERT_TRUE(flat);
  EXPECT_TRUE(flat->monolithicFlat);
  EXPECT_EQ(flat->parts, (Parts{{"/x/victim.bin", true}}));

  // A sparse vmdk is its own extent: nothing else.
  const auto sparse = ReadImageLayout(
      R"([{"filename": "/a/s.vmdk", "format": "vmdk", "format-specific": {"type": "vmdk",
           "data": {"create-type": "monolithicSparse", "extents": [
             {"filename": "/a/s.vmdk", "format": ""}]}}}])",
      "/a/s.vmdk", '/');
  ASSERT_TRUE(sparse);
  EXPECT_TRUE(sparse->parts.empty());

  // Windows names: relative ones below the image's folder.
  const auto windows = ReadImageLayout(
      R"([{"filename": "C:\\vm\\t.qcow2", "format": "qcow2", "format-specific": {"type": "qcow2",
           "data": {"data-file": "d.bin"}}}])",
      "C:\\vm\\t.qcow2", '\\');
  ASSERT_TRUE(windows);
  EXPECT_EQ(windows->parts, (Parts{{"C:\\vm\\d.bin", true}}));
}

TEST(ImageParts, RefusesReportsThatDoNotShowEverything) {
  // qemu-img ends the chain at a backing file it could not open.
  EXPECT_FALSE(ReadImageLayout(R"([{"filename": "/a/t.qcow2", "backing-filename": "gone"}])",
                               "/a/t.qcow2", '/'));
  EXPECT_FALSE(ReadImageLayout("", "/a/t", '/'));
  EXPECT_FALSE(ReadImageLayout("[]", "/a/t", '/'));
  EXPECT_FALSE(ReadImageLayout(R"({"filename": "/a/t"})", "/a/t", '/'));
  EXPECT_FALSE(ReadImageLayout(R"([{"format": "qcow2"}])", "/a/t", '/'));
  EXPECT_FALSE(ReadImageLayout(R"([{"filename": "/a/t"}] trailing)", "/a/t", '/'));
  // A protocol name stays as it is, so that the placement refuses it.
  const auto nbd = ReadImageLayout(
      R"([{"filename": "/a/t", "backing-filename": "x"}, {"filename": "nbd://h:1/x"}])", "/a/t",
      '/');
  ASSERT_TRUE(nbd);
  EXPECT_EQ(nbd->parts, (Parts{{"nbd://h:1/x", false}}));
}

TEST(ImageParts, ReadsTheOneExtentOfAFlatDescriptor) {
  const auto extent = ReadFlatExtent(
      "# Disk DescriptorFile\nversion=1\nCID=fffffffe\r\ncreateType=\"monolithicFlat\"\n"
      "\n# Extent description\nRW 2048 FLAT \"my disk-flat.vmdk\" 0\nddb.adapterType = \"ide\"\n");
  ASSERT_TRUE(extent);
  EXPECT_EQ(extent->file, "my disk-flat.vmdk");
  EXPECT_TRUE(extent->written);
  EXPECT_EQ(extent->offset, 0u);
  EXPECT_EQ(extent->size, 2048u * 512);

  const auto offset = ReadFlatExtent("RDONLY 10 FLAT \"/x/victim.bin\" 3\n");
  ASSERT_TRUE(offset);
  EXPECT_FALSE(offset->written);
  EXPECT_EQ(offset->offset, 3u * 512);
  EXPECT_EQ(offset->size, 10u * 512);

  EXPECT_FALSE(ReadFlatExtent("RW 10 FLAT \"a\" 0\nRW 10 FLAT \"b\" 0\n"));  // two extents
  EXPECT_FALSE(ReadFlatExtent("RW 10 SPARSE \"a.vmdk\"\n"));
  EXPECT_FALSE(ReadFlatExtent("RW 10 ZERO\n"));
  EXPECT_FALSE(ReadFlatExtent("NOACCESS 10 FLAT \"a\" 0\n"));
  EXPECT_FALSE(ReadFlatExtent("RW 10 FLAT \"\" 0\n"));
  EXPECT_FALSE(ReadFlatExtent("RW 10 FLAT \"a\" x\n"));
  EXPECT_FALSE(ReadFlatExtent("RW 99999999999999999999 FLAT \"a\" 0\n"));  // beyond any size
  EXPECT_FALSE(ReadFlatExtent("version=1\n"));
}

std::string BigEndian(std::uint64_t value, int bytes) {
  std::string out(static_cast<std::size_t>(bytes), '\0');
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) out[static_cast<std::size_t>(i)] = char(value);
  return out;
}

// A qcow2 version 3 header as qemu-img writes it: the backing file's name
// behind the header extensions, the data file in an extension.
std::string Qcow2Header(const std::string& backing, const std::string& dataFile) {
  std::string header = "QFI\xFB" + BigEndian(3, 4);
  std::string extensions;
  if (!dataFile.empty()) {
    std::string data = dataFile;
    data.resize((data.size() + 7) / 8 * 8, '\0');
    extensions += BigEndian(0x44415441, 4) + BigEndian(dataFile.size(), 4) + data;
  }
  extensions += BigEndian(0x6803f857, 4) + BigEndian(8, 4) + std::string(8, 'f');  // features
  extensions += BigEndian(0, 8);
  const std::size_t backingOffset = 104 + extensions.size();
  header += BigEndian(backing.empty() ? 0 : backingOffset, 8) + BigEndian(backing.size(), 4);
  header.resize(100, '\0');
  header += BigEndian(104, 4) + extensions + backing;
  return header;
}

TEST(ImageParts, ReadsTheNamesInAnImagesHeaderBeforeQemuImgOpensIt) {
  using Names = std::vector<std::string>;
  EXPECT_EQ(NamesInImageStart(Qcow2Header("", ""), "qcow2"), Names{});
  EXPECT_EQ(NamesInImageStart(Qcow2Header("\\\\server\\b.qcow2", "/dev/fifo"), "qcow2"),
            (Names{"\\\\server\\b.qcow2", "/dev/fifo"}));
  // A name that lies beyond the bytes read cannot be placed.
  const std::string cut = Qcow2Header("base.qcow2", "");
  EXPECT_FALSE(NamesInImageStart(cut.substr(0, cut.size() - 2), "qcow2"));
  EXPECT_FALSE(NamesInImageStart(cut.substr(0, 110), "qcow2"));

  EXPECT_EQ(
      NamesInImageStart("# Disk DescriptorFile\nparentFileNameHint=\"//s/p.vmdk\"\n"
                        "RW 8 FLAT \"a-flat.vmdk\" 0\nRW 8 ZERO\nRDONLY 8 SPARSE \"b.vmdk\"\n",
                        "vmdk"),
      (Names{"//s/p.vmdk", "a-flat.vmdk", "b.vmdk"}));
  // The descriptor of a sparse vmdk sits in its first sectors.
  std::string sparse = "KDMV" + std::string(24, '\0');
  sparse += std::string("\x01\0\0\0\0\0\0\0", 8) + std::string("\x01\0\0\0\0\0\0\0", 8);
  sparse.resize(512, '\0');
  std::string descriptor = "# Disk DescriptorFile\nparentFileNameHint=\"/proc/self/fd/0\"\n";
  descriptor.resize(512, '\0');
  EXPECT_EQ(NamesInImageStart(sparse + descriptor, "vmdk"), Names{"/proc/self/fd/0"});
  EXPECT_FALSE(NamesInImageStart(sparse, "vmdk"));
  // Bytes of another format are left to qemu-img, which refuses them.
  EXPECT_EQ(NamesInImageStart("plain bytes", "qcow2"), Names{});
  EXPECT_EQ(NamesInImageStart("plain bytes", "vmdk"), Names{});
}

TEST(ImageParts, TellsProtocolsFromDriveLetters) {
  EXPECT_TRUE(HasProtocolPrefix("nbd://host/x"));
  EXPECT_TRUE(HasProtocolPrefix("json:{\"file\":1}"));
  EXPECT_TRUE(HasProtocolPrefix("nbd+unix:///x"));
  EXPECT_FALSE(HasProtocolPrefix("c:\\vm\\x.img"));
  EXPECT_FALSE(HasProtocolPrefix("/a/nbd:x"));
  EXPECT_FALSE(HasProtocolPrefix("plain.img"));
}

TEST(JsonReader, ReadsWhatQemuImgWritesAndNothingMalformed) {
  const auto value =
      ParseJson(R"( {"a": [1, -2.5e3, true, false, null], "b": "x\"\\\/\n\u00e4", "a": "later"} )");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->StringMember("b"), "x\"\\/\n\xC3\xA4");
  EXPECT_EQ(value->StringMember("a"), "later");  // the later member wins
  EXPECT_EQ(value->Member("missing"), nullptr);

  const auto list = ParseJson("[1, -2.5e3, true]");
  ASSERT_TRUE(list);
  ASSERT_EQ(list->items().size(), 3u);
  EXPECT_EQ(list->items()[1].text(), "-2.5e3");
  EXPECT_TRUE(list->items()[2].boolean());

  for (const char* bad : {"", "[", "[1,]", "{\"a\" 1}", "{\"a\":1,}", "\"a", "\"a\nb\"", "\"\\x\"",
                          "\"\\u12\"", "tru", "[1] [2]", "{1: 2}", "-"}) {
    EXPECT_FALSE(ParseJson(bad)) << bad;
  }
  // No depth exhausts the stack.
  EXPECT_FALSE(ParseJson(std::string(100000, '[') + std::string(100000, ']')));
  EXPECT_TRUE(ParseJson(std::string(kJsonMaximumDepth, '[') + std::string(kJsonMaximumDepth, ']')));
}

}  // namespace
