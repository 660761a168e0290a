#include "player/block_renderer.h"
#include "player/image_chain.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using Opened = ImageFiles::Opened;

void PutBigEndian(std::string& bytes, std::size_t at, std::uint64_t value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value & 0xFF);
    value >>= 8;
  }
}

void PutLittleEndian(std::string& bytes, std::size_t at, std::uint64_t value, int count) {
  for (int i = 0; i < count; ++i) {
    bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value & 0xFF);
    value >>= 8;
  }
}

struct Extension {
  std::uint32_t type;
  std::string data;
};

constexpr std::uint32_t kBackingFormat = 0xE2792ACA;
constexpr std::uint32_t kDataFileName = 0x44415441;
constexpr std::uint64_t kDataFileBit = 4;

// A version 3 qcow2 header with 64 KiB clusters: extensions after the
// header, the backing name after them.
std::string Qcow2(const std::string& backing, std::vector<Extension> extensions = {},
                  std::uint64_t incompatible = 0) {
  std::string image(104, '\0');
  image.replace(0, 4, "QFI\xFB");
  PutBigEndian(image, 4, 3, 4);
  PutBigEndian(image, 20, 16, 4);
  PutBigEndian(image, 72, incompatible, 8);
  PutBigEndian(image, 100, 104, 4);
  for (const Extension& extension : extensions) {
    std::string head(8, '\0');
    PutBigEndian(head, 0, extension.type, 4);
    PutBigEndian(head, 4, extension.data.size(), 4);
    image += head + extension.data + std::string((8 - extension.data.size() % 8) % 8, '\0');
  }
  image += std::string(8, '\0');
  if (!backing.empty()) {
    PutBigEndian(image, 8, image.size(), 8);
    PutBigEndian(image, 16, backing.size(), 4);
    image += backing;
  }
  return image + std::string(512, '\0');
}

// A sparse vmdk of 1 MiB whose embedded descriptor (at its second sector)
// holds `descriptor`.
std::string SparseVmdk(const std::string& descriptor) {
  std::string image(512, '\0');
  image.replace(0, 4, "KDMV");
  PutLittleEndian(image, 4, 1, 4);
  PutLittleEndian(image, 12, 2048, 8);
  PutLittleEndian(image, 20, 128, 8);  // grains of 64 KiB
  PutLittleEndian(image, 28, 1, 8);
  PutLittleEndian(image, 36, 20, 8);
  PutLittleEndian(image, 44, 512, 4);  // grain table entries
  return image + descriptor + std::string(20 * 512 - descriptor.size(), '\0');
}

std::string Descriptor(const std::string& extentLines) {
  return "# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\n"
         "createType=\"monolithicFlat\"\n\n# Extent description\n" +
         extentLines + "\n# The Disk Data Base\n#DDB\n";
}

// Images in memory under their resolved paths, each placed the way a test
// says; a name it does not know is refused, as the plan refuses a FIFO.
class ScriptedImageFiles : public ImageFiles {
 public:
  struct Opening {
    std::string path;
    ImageLink link;
    int level;
  };

  void Put(const std::string& path, const std::string& bytes, Opened opened = Opened::kReadable) {
    images_[path] = {bytes, opened};
  }
  // `path` names the same file as `target`.
  void Alias(const std::string& path, const std::string& target) { aliases_[path] = target; }

  Opened Open(const std::string& path, ImageLink link, int level, std::size_t* file,
              std::string* resolved) override {
    openings.push_back({path, link, level});
    const auto alias = aliases_.find(path);
    const std::string target = alias == aliases_.end() ? path : alias->second;
    const auto image = images_.find(target);
    if (image == images_.end()) return Opened::kRefused;
    *file = Number(target);
    *resolved = target;
    return image->second.opened;
  }

  bool ReadAt(std::size_t file, std::uint64_t offset, std::size_t count,
              std::string* bytes) override {
    const Image& image = images_.at(names_.at(file));
    EXPECT_EQ(image.opened, Opened::kReadable);
    EXPECT_LE(offset + count, image.bytes.size());
    if (offset > image.bytes.size()) return false;
    *bytes = image.bytes.substr(static_cast<std::size_t>(offset), count);
    return true;
  }

  std::uint64_t Size(std::size_t file) override { return images_.at(names_.at(file)).bytes.size(); }

  std::size_t Number(const std::string& path) {
    for (std::size_t i = 0; i < names_.size(); ++i) {
      if (names_[i] == path) return i;
    }
    names_.push_back(path);
    return names_.size() - 1;
  }

  std::vector<Opening> openings;

 private:
  struct Image {
    std::string bytes;
    Opened opened;
  };
  std::map<std::string, Image> images_;
  std::map<std::string, std::string> aliases_;
  std::vector<std::string> names_;
};

std::string FdsetName(std::size_t file) {
  return "/dev/fdset/" + std::to_string(file + 1);
}

TEST(ImageChainFormat, ComesFromTheContentOnly) {
  EXPECT_EQ(FormatOfImageStart(Qcow2("")), ImageFormat::kQcow2);
  EXPECT_EQ(FormatOfImageStart(SparseVmdk("")), ImageFormat::kVmdk);
  EXPECT_EQ(FormatOfImageStart(Descriptor("")), ImageFormat::kVmdk);
  EXPECT_EQ(FormatOfImageStart("QFI"), ImageFormat::kRaw);
  EXPECT_EQ(FormatOfImageStart(" # Disk DescriptorFile"), ImageFormat::kRaw);
  EXPECT_EQ(FormatOfImageStart(std::string(512, '\0')), ImageFormat::kRaw);
}

TEST(ImageChainProtocol, IsAColonBeforeAnySeparatorAsQemuSeesIt) {
  EXPECT_TRUE(NamesProtocol("nbd+unix:///x?socket=/run/user/1000/s", '/'));
  EXPECT_TRUE(NamesProtocol("nbd://127.0.0.1:10809", '/'));
  EXPECT_TRUE(NamesProtocol("json:{\"driver\":\"file\"}", '/'));
  EXPECT_TRUE(NamesProtocol("file:base.qcow2", '/'));
  // POSIX QEMU knows no drives: "c:" is a protocol there.
  EXPECT_TRUE(NamesProtocol("c:base.qcow2", '/'));
  EXPECT_FALSE(NamesProtocol("c:base.qcow2", '\\'));
  EXPECT_FALSE(NamesProtocol("C:\\vm\\base.qcow2", '\\'));
  EXPECT_TRUE(NamesProtocol("http:\\\\host\\x", '\\'));
  EXPECT_FALSE(NamesProtocol("dir\\nbd:x", '\\'));
  EXPECT_TRUE(NamesProtocol("dir\\nbd:x", '/'));
  EXPECT_FALSE(NamesProtocol("./nbd:x", '/'));
  EXPECT_FALSE(NamesProtocol("/vm/base.qcow2", '/'));
}

TEST(ImageChainQcow2, FollowsBackingFilesInTheFolderOfTheImageThatNamesThem) {
  ScriptedImageFiles files;
  files.Put("/vm/top.qcow2", Qcow2("layers/mid.qcow2"));
  files.Put("/vm/layers/mid.qcow2", Qcow2("/base/base.img", {{kBackingFormat, "raw"}}));
  // Declared raw: a header its guest wrote counts for nothing.
  files.Put("/base/base.img", Qcow2("/etc/shadow"));
  const ImageChain chain = ReadImageChain("/vm/top.qcow2", files, '/');
  ASSERT_FALSE(chain.Refused()) << chain.refusal << chain.refusedName;
  ASSERT_EQ(chain.nodes.size(), 3u);
  EXPECT_EQ(chain.nodes[0].format, ImageFormat::kQcow2);
  EXPECT_EQ(chain.nodes[0].backing, 1);
  EXPECT_EQ(chain.nodes[1].backing, 2);
  EXPECT_EQ(chain.nodes[2].format, ImageFormat::kRaw);
  EXPECT_EQ(chain.nodes[2].backing, -1);
  ASSERT_EQ(files.openings.size(), 3u);
  EXPECT_EQ(files.openings[1].path, "/vm/layers/mid.qcow2");
  EXPECT_EQ(files.openings[1].link, ImageLink::kBacking);
  EXPECT_EQ(files.openings[2].level, 2);

  EXPECT_EQ(
      BlockdevArguments(chain, "disk0", FdsetName, false),
      (std::vector<std::string>{
          "-blockdev", "driver=file,node-name=disk0-2-file,filename=/dev/fdset/3,read-only=on",
          "-blockdev", "driver=raw,node-name=disk0-2,file=disk0-2-file,read-only=on", "-blockdev",
          "driver=file,node-name=disk0-1-file,filename=/dev/fdset/2,read-only=on", "-blockdev",
          "driver=qcow2,node-name=disk0-1,file=disk0-1-file,backing=disk0-2,read-only=on",
          "-blockdev", "driver=file,node-name=disk0-file,filename=/dev/fdset/1", "-blockdev",
          "driver=qcow2,node-name=disk0,file=disk0-file,backing=disk0-1"}));
  EXPECT_EQ(QemuFileUses(chain, false),
            (std::vector<ImageFileUse>{{0, true}, {1, false}, {2, false}}));
  EXPECT_EQ(QemuFileUses(chain, true),
            (std::vector<ImageFileUse>{{0, false}, {1, false}, {2, false}}));
}

TEST(ImageChainQcow2, HandsTheExternalDataFileOverAsItsOwnNode) {
  ScriptedImageFiles files;
  files.Put("C:\\vm\\top.qcow2", Qcow2("", {{kDataFileName, "data,1.raw"}}, kDataFileBit));
  files.Put("C:\\vm\\data,1.raw", "raw bytes");
  const ImageChain chain = ReadImageChain("C:\\vm\\top.qcow2", files, '\\');
  ASSERT_FALSE(chain.Refused()) << chain.refusal << chain.refusedName;
  ASSERT_EQ(chain.nodes.size(), 2u);
  EXPECT_EQ(chain.nodes[0].dataFile, 1);
  EXPECT_EQ(chain.nodes[1].link, ImageLink::kDataFile);
  EXPECT_EQ(chain.nodes[1].level, 0);
  const auto placed = [](std::size_t file) {
    return file == 0 ? std::string("C:\\vm\\top.qcow2") : std::string("C:\\vm\\data,1.raw");
  };
  EXPECT_EQ(
      BlockdevArguments(chain, "disk0", placed, true),
      (std::vector<std::string>{
          "-blockdev",
          "driver=file,node-name=disk0-1-file,filename=C:\\vm\\data,,1.raw,read-only=on",
          "-blockdev", "driver=file,node-name=disk0-file,filename=C:\\vm\\top.qcow2,read-only=on",
          "-blockdev",
          "driver=qcow2,node-name=disk0,file=disk0-file,data-file=disk0-1-file,read-only=on"}));
}

TEST(ImageChainQcow2, RefusesHeadersThatAreBrokenOrNameTooMuch) {
  struct Case {
    std::string image;
    std::string refusal;
  };
  std::string hugeName = Qcow2("base.qcow2");
  PutBigEndian(hugeName, 16, 1024, 4);
  std::string pastTheEnd = Qcow2("base.qcow2");
  PutBigEndian(pastTheEnd, 8, 60000, 8);
  std::string offsetBeyondCluster = Qcow2("base.qcow2");
  PutBigEndian(offsetBeyondCluster, 8, 70000, 8);
  std::string longExtension = Qcow2("", {{kDataFileName, "data.raw"}}, kDataFileBit);
  PutBigEndian(longExtension, 108, 0xFFFFFFF0, 4);
  std::string badClusters = Qcow2("");
  PutBigEndian(badClusters, 20, 40, 4);
  std::string version1 = Qcow2("");
  PutBigEndian(version1, 4, 1, 4);
  std::string luks = Qcow2("");
  PutBigEndian(luks, 32, 2, 4);
  std::string aes = Qcow2("");
  PutBigEndian(aes, 32, 1, 4);
  // A header of 112 bytes whose compression type (byte 104) QEMU 7.2 does
  // not know; the compression bit says that it is set.
  std::string unknownCompression = Qcow2("", {}, 1ULL << 3);
  PutBigEndian(unknownCompression, 100, 112, 4);
  unknownCompression[104] = 2;
  const std::vector<Case> cases = {
      {hugeName, "Das Abbild nennt einen unbrauchbaren Dateinamen: '"},
      {Qcow2(std::string("base\0.qcow2", 11)),
       "Das Abbild nennt einen unbrauchbaren Dateinamen: '"},
      {pastTheEnd,
       "Der Kopf des Abbilds ist besch\xE4"
       "digt oder abgeschnitten: '"},
      {offsetBeyondCluster,
       "Der Kopf des Abbilds ist besch\xE4"
       "digt oder abgeschnitten: '"},
      {Qcow2("").substr(0, 90),
       "Der Kopf des Abbilds ist besch\xE4"
       "digt oder abgeschnitten: '"},
      {longExtension,
       "Der Kopf des Abbilds ist besch\xE4"
       "digt oder abgeschnitten: '"},
      {badClusters,
       "Der Kopf des Abbilds ist besch\xE4"
       "digt oder abgeschnitten: '"},
      {version1, "Das Abbild hat ein Format, das der Player nicht nutzt: '"},
      {Qcow2("", {}, kDataFileBit),
       "Das Abbild verlangt eine eigene Datendatei, nennt aber keine: '"},
      {Qcow2("", {{kDataFileName, std::string("d\0x", 3)}}, kDataFileBit),
       "Das Abbild nennt einen unbrauchbaren Dateinamen: '"},
      {Qcow2("base.qcow2", {{kBackingFormat, "nbd"}}),
       "Das Abbild hat ein Format, das der Player nicht nutzt: '"},
      // What QEMU would refuse only once it runs, told before.
      {luks,
       "Das Abbild ist mit LUKS verschl\xFCsselt; der Player kann es nicht \xF6"
       "ffnen: '"},
      {aes,
       "Das Abbild ist mit dem alten AES-Verfahren verschl\xFCsselt, das QEMU nicht mehr "
       "\xF6"
       "ffnet: '"},
      {Qcow2("", {}, 1ULL << 5), "Das Abbild verlangt eine Eigenschaft, die QEMU nicht kennt: '"},
      {Qcow2("", {}, 1ULL << 1),
       "Das Abbild ist als besch\xE4"
       "digt markiert: '"},
      {unknownCompression, "Das Abbild ist auf eine Weise komprimiert, die QEMU nicht kennt: '"},
  };
  for (const Case& c : cases) {
    ScriptedImageFiles files;
    files.Put("/vm/top.qcow2", c.image);
    files.Put("/vm/base.qcow2", Qcow2(""));
    files.Put("/vm/d", "");
    const ImageChain chain = ReadImageChain("/vm/top.qcow2", files, '/');
    EXPECT_EQ(chain.refusal, c.refusal);
    EXPECT_EQ(chain.refusedName, "/vm/top.qcow2");
    EXPECT_EQ(files.openings.size(), 1u) << c.refusal;
    EXPECT_TRUE(BlockdevArguments(chain, "disk0", FdsetName, false).empty());
  }
}

TEST(ImageChainLimits, RefusesProtocolNamesLoopsAndDepthBeforeOpeningThem) {
  {
    ScriptedImageFiles files;
    files.Put("/vm/top.qcow2", Qcow2("nbd+unix:///x?socket=/run/user/1000/bus"));
    const ImageChain chain = ReadImageChain("/vm/top.qcow2", files, '/');
    EXPECT_EQ(chain.refusal, "Das Abbild nennt eine Netzwerk- oder Protokolladresse: '");
    EXPECT_EQ(chain.refusedName, "nbd+unix:///x?socket=/run/user/1000/bus");
    EXPECT_EQ(files.openings.size(), 1u);
  }
  {
    ScriptedImageFiles files;
    files.Put("/vm/top.qcow2", Qcow2("mid.qcow2"));
    files.Put("/vm/mid.qcow2", Qcow2("nbd://127.0.0.1:10809"));
    const ImageChain chain = ReadImageChain("/vm/top.qcow2", files, '/');
    EXPECT_EQ(chain.refusedName, "nbd://127.0.0.1:10809");
    EXPECT_EQ(files.openings.size(), 2u);
  }
  {
    // The same file under another name is still a loop.
    ScriptedImageFiles files;
    files.Put("/vm/a.qcow2", Qcow2("b.qcow2"));
    files.Put("/vm/b.qcow2", Qcow2("./a.qcow2"));
    files.Alias("/vm/./a.qcow2", "/vm/a.qcow2");
    const ImageChain chain = ReadImageChain("/vm/a.qcow2", files, '/');
    EXPECT_EQ(chain.refusal, "Das Abbild nennt eine Datei, die schon zu seiner Kette geh\xF6rt: '");
    EXPECT_EQ(chain.refusedName, "/vm/./a.qcow2");
  }
  for (const int levels : {16, 17}) {
    ScriptedImageFiles files;
    for (int i = 0; i < levels; ++i) {
      files.Put("/vm/" + std::to_string(i), Qcow2(std::to_string(i + 1)));
    }
    files.Put("/vm/" + std::to_string(levels), Qcow2(""));
    const ImageChain chain = ReadImageChain("/vm/0", files, '/');
    if (levels == 16) {
      EXPECT_FALSE(chain.Refused()) << chain.refusal;
      EXPECT_EQ(chain.nodes.size(), 17u);
    } else {
      EXPECT_EQ(chain.refusal,
                "Die Kette der Abbilder hat mehr als 16 Stufen; die Stufe zu viel ist: '");
      EXPECT_EQ(chain.refusedName, "/vm/17");
      EXPECT_EQ(files.openings.size(), 17u);
    }
  }
}

TEST(ImageChainCaller, StopsAtItsRefusalAndWaitsForItsAgreement) {
  ScriptedImageFiles files;
  files.Put("/vm/top.qcow2", Qcow2("mid.qcow2"));
  files.Put("/vm/mid.qcow2", Qcow2("/tmp/fifo"));
  // The caller found a FIFO there and refuses it with its own text.
  ImageChain chain = ReadImageChain("/vm/top.qcow2", files, '/');
  EXPECT_TRUE(chain.refusedByCaller);
  EXPECT_TRUE(chain.refusal.empty());
  EXPECT_EQ(chain.refusedName, "/tmp/fifo");

  files.Put("/home/u/base.qcow2", Qcow2("base2.qcow2"), Opened::kNotYet);
  files.Put("/home/u/base2.qcow2", Qcow2(""));
  files.Put("/vm/mid.qcow2", Qcow2("/home/u/base.qcow2"));
  chain = ReadImageChain("/vm/top.qcow2", files, '/');
  EXPECT_FALSE(chain.Refused());
  EXPECT_TRUE(chain.Pending());
  ASSERT_EQ(chain.nodes.size(), 3u);
  EXPECT_TRUE(chain.nodes[2].pending);
  EXPECT_TRUE(BlockdevArguments(chain, "disk0", FdsetName, false).empty());
  EXPECT_TRUE(QemuFileUses(chain, false).empty());

  // Once the user agreed, the reading goes on below it.
  files.Put("/home/u/base.qcow2", Qcow2("base2.qcow2"));
  chain = ReadImageChain("/vm/top.qcow2", files, '/');
  EXPECT_FALSE(chain.Pending());
  EXPECT_EQ(chain.nodes.size(), 4u);
}

TEST(ImageChainVmdk, GivesASparseDiskItsParentExplicitly) {
  ScriptedImageFiles files;
  files.Put("/vm/child.vmdk", SparseVmdk(Descriptor("RW 2048 SPARSE \"child.vmdk\"") +
                                         "parentFileNameHint=\"base.vmdk\"\n"));
  files.Put("/vm/base.vmdk", SparseVmdk(Descriptor("RW 2048 SPARSE \"base.vmdk\"")));
  const ImageChain chain = ReadImageChain("/vm/child.vmdk", files, '/');
  ASSERT_FALSE(chain.Refused()) << chain.refusal << chain.refusedName;
  ASSERT_EQ(chain.nodes.size(), 2u);
  EXPECT_EQ(BlockdevArguments(chain, "d", FdsetName, false),
            (std::vector<std::string>{
                "-blockdev", "driver=file,node-name=d-1-file,filename=/dev/fdset/2,read-only=on",
                "-blockdev", "driver=vmdk,node-name=d-1,file=d-1-file,read-only=on", "-blockdev",
                "driver=file,node-name=d-file,filename=/dev/fdset/1", "-blockdev",
                "driver=vmdk,node-name=d,file=d-file,backing=d-1"}));

  // A sparse disk's parent must hold data of its own for QEMU's check.
  files.Put("/vm/base.vmdk", Qcow2(""));
  EXPECT_EQ(ReadImageChain("/vm/child.vmdk", files, '/').refusal,
            "Das VMDK-Abbild nennt als Vorg\xE4nger kein VMDK-Abbild mit eigenen Daten: '");
}

TEST(ImageChainVmdk, MakesAFlatDiskRawBytesOfItsOneExtent) {
  ScriptedImageFiles files;
  files.Put("/vm/flat.vmdk", Descriptor("RDONLY 2048 FLAT \"flat-flat.vmdk\" 16") +
                                 "parentFileNameHint=\"/never/opened.vmdk\"\n");
  files.Put("/vm/flat-flat.vmdk", std::string(2048 * 512 + 16 * 512, '\0'));
  const ImageChain chain = ReadImageChain("/vm/flat.vmdk", files, '/');
  ASSERT_FALSE(chain.Refused()) << chain.refusal << chain.refusedName;
  ASSERT_EQ(chain.nodes.size(), 2u);
  EXPECT_EQ(files.openings.size(), 2u);
  EXPECT_EQ(BlockdevArguments(chain, "d", FdsetName, false),
            (std::vector<std::string>{
                "-blockdev", "driver=file,node-name=d-1-file,filename=/dev/fdset/2,read-only=on",
                "-blockdev",
                "driver=raw,node-name=d,file=d-1-file,offset=8192,size=1048576,read-only=on"}));
  EXPECT_EQ(QemuFileUses(chain, false), (std::vector<ImageFileUse>{{1, false}}));
}

// A split disk as VMware writes it: a descriptor naming one sparse file
// per 2 GB; a snapshot's child names its split parent.
std::string SplitDescriptor(const std::string& name, int extents, const std::string& parent) {
  std::string text = "# Disk DescriptorFile\nversion=1\nCID=0badcafe\nparentCID=" +
                     std::string(parent.empty() ? "ffffffff" : "12345678") +
                     "\ncreateType=\"twoGbMaxExtentSparse\"\n";
  if (!parent.empty()) text += "parentFileNameHint=\"" + parent + "\"\n";
  for (int i = 1; i <= extents; ++i) {
    text += "RW 4192256 SPARSE \"" + name + "-s00" + std::to_string(i) + ".vmdk\"\n";
  }
  return text + "\nddb.adapterType = \"lsilogic\"\n";
}

TEST(ImageChainVmdk, PlacesEveryExtentOfASplitDiskAndItsSplitParent) {
  ScriptedImageFiles files;
  files.Put("/vm/child.vmdk", SplitDescriptor("child", 3, "base.vmdk"));
  files.Put("/vm/base.vmdk", SplitDescriptor("base", 3, ""));
  for (int i = 1; i <= 3; ++i) {
    files.Put("/vm/child-s00" + std::to_string(i) + ".vmdk", SparseVmdk(""));
    files.Put("/vm/base-s00" + std::to_string(i) + ".vmdk", SparseVmdk(""));
  }
  const ImageChain chain = ReadImageChain("/vm/child.vmdk", files, '/');
  ASSERT_FALSE(chain.Refused()) << chain.refusal << chain.refusedName;
  ASSERT_EQ(chain.nodes.size(), 8u);
  EXPECT_EQ(chain.nodes[0].extents.size(), 3u);
  EXPECT_EQ(chain.nodes[0].backing, 4);
  EXPECT_EQ(chain.nodes[4].extents.size(), 3u);
  EXPECT_EQ(chain.nodes[0].descriptor.cid, "0badcafe");
  EXPECT_EQ(chain.nodes[0].descriptor.parentCid, "12345678");
  EXPECT_EQ(chain.nodes[0].virtualSize, 3ULL * 4192256 * 512);
  EXPECT_FALSE(NeedsOverlay(chain));
  // The child's extents are written, the parent's only read; neither
  // descriptor goes to QEMU as it lies.
  EXPECT_EQ(QemuFileUses(chain, false),
            (std::vector<ImageFileUse>{
                {1, true}, {2, true}, {3, true}, {5, false}, {6, false}, {7, false}}));
  auto copy = [](int node) { return "/tmp/copy" + std::to_string(node) + ".vmdk"; };
  EXPECT_EQ(BlockdevArguments(chain, "d", FdsetName, false, copy),
            (std::vector<std::string>{
                "-blockdev", "driver=file,node-name=d-4-file,filename=/tmp/copy4.vmdk,read-only=on",
                "-blockdev", "driver=vmdk,node-name=d-4,file=d-4-file,read-only=on", "-blockdev",
                "driver=file,node-name=d-file,filename=/tmp/copy0.vmdk", "-blockdev",
                "driver=vmdk,node-name=d,file=d-file,backing=d-4"}));
}

TEST(ImageChainVmdk, MarksLayersQemuCanOnlyReadForAnOverlay) {
  std::string stream = SparseVmdk("");
  PutLittleEndian(stream, 77, 1, 2);  // deflate: streamOptimized
  std::string version3 = SparseVmdk("");
  PutLittleEndian(version3, 4, 3, 4);
  for (const std::string& image : {stream, version3}) {
    ScriptedImageFiles files;
    files.Put("/vm/d.vmdk", image);
    const ImageChain chain = ReadImageChain("/vm/d.vmdk", files, '/');
    ASSERT_FALSE(chain.Refused()) << chain.refusal;
    EXPECT_TRUE(chain.nodes[0].readOnly);
    EXPECT_TRUE(NeedsOverlay(chain));
    EXPECT_EQ(QemuFileUses(chain, false), (std::vector<ImageFileUse>{{0, false}}));
  }
  // One read-only extent makes the whole split layer read-only.
  ScriptedImageFiles files;
  files.Put("/vm/d.vmdk",
            "# Disk DescriptorFile\nCID=1\nparentCID=ffffffff\n"
            "createType=\"twoGbMaxExtentSparse\"\nRW 2048 SPARSE \"a.vmdk\"\n"
            "RW 2048 SPARSE \"b.vmdk\"\n");
  files.Put("/vm/a.vmdk", SparseVmdk(""));
  files.Put("/vm/b.vmdk", stream);
  const ImageChain split = ReadImageChain("/vm/d.vmdk", files, '/');
  ASSERT_FALSE(split.Refused()) << split.refusal;
  EXPECT_TRUE(NeedsOverlay(split));
  // A sparse extent that is no sparse file is refused before QEMU meets it.
  files.Put("/vm/b.vmdk", Qcow2(""));
  EXPECT_EQ(ReadImageChain("/vm/d.vmdk", files, '/').refusal,
            "Ein Teil des VMDK-Abbilds ist kein Teil im Format, das seine Beschreibung nennt: '");
}

TEST(ImageChainVmdk, RefusesDescriptorsQemuCannotTakeAsNodes) {
  std::string many;
  for (int i = 0; i < 65; ++i) many += "RW 8 FLAT \"f" + std::to_string(i) + "\" 0\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {Descriptor(many), "Das VMDK-Abbild nennt zu viele Teile: '"},
      {Descriptor("RW 8 VMFSRDM \"/dev/sda\""),
       "Das VMDK-Abbild nennt einen Teil, den QEMU nicht als Daten lesen kann: '"},
      // QEMU skips these lines, and every sector behind them would move.
      {Descriptor("RW 8 ZERO \"\""),
       "Das VMDK-Abbild nennt einen Teil, den QEMU nicht als Daten lesen kann: '"},
      {Descriptor("NOACCESS 8 FLAT \"a\" 0"),
       "Das VMDK-Abbild nennt einen Teil, den QEMU nicht als Daten lesen kann: '"},
      {Descriptor("RW 8 FLAT \"a\""),
       "Der Kopf des Abbilds ist besch\xE4"
       "digt oder abgeschnitten: '"},
      {Descriptor("RW 8 SPARSE \"a\" 0"),
       "Der Kopf des Abbilds ist besch\xE4"
       "digt oder abgeschnitten: '"},
      {"# Disk DescriptorFile\ncreateType=\"fullDevice\"\nRW 8 FLAT \"/dev/sda\" 0\n",
       "Das VMDK-Abbild ist von einer Art (createType), die QEMU nicht \xF6"
       "ffnet: '"},
      {Descriptor("RW 8 FLAT \"json:{}\" 0"),
       "Das Abbild nennt eine Netzwerk- oder Protokolladresse: '"},
      {Descriptor("RW 8 FLAT \"a\" 0 extra"),
       "Der Kopf des Abbilds ist besch\xE4"
       "digt oder abgeschnitten: '"},
      {Descriptor("RW 8 FLAT \"a\" 0") + std::string(64 * 1024, '#'),
       "Die Beschreibung des VMDK-Abbilds ist zu gro\xDF: '"},
  };
  for (const auto& [descriptor, refusal] : cases) {
    ScriptedImageFiles files;
    files.Put("/vm/d.vmdk", descriptor);
    const ImageChain chain = ReadImageChain("/vm/d.vmdk", files, '/');
    EXPECT_EQ(chain.refusal, refusal);
    EXPECT_EQ(files.openings.size(), 1u) << refusal;
  }
}

}  // namespace
