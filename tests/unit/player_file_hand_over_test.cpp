#include "player/block_renderer.h"
#include "player/file_hand_over.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scripted_machine_files.h"

namespace {

using namespace player_test;
using Arguments = std::vector<std::string>;

constexpr char kFolder[] = "/home/u/vm/";

std::string In(const std::string& name) {
  return kFolder + name;
}

MachinePlace Place(const std::string& vmx, char separator = '/') {
  MachinePlace place;
  place.vmxFile = vmx;
  place.temporaryRoot = separator == '/' ? "/tmp/" : "C:\\tmp\\";
  place.separator = separator;
  return place;
}

struct Opened {
  std::string name;
  HandOverMode mode;
  bool operator==(const Opened& other) const = default;
};

std::vector<Opened> Openings(const ScriptedHandOver& host) {
  std::vector<Opened> openings;
  for (const ScriptedHandOver::Opening& opening : host.openings) {
    openings.push_back({opening.name, opening.mode});
  }
  return openings;
}

class FileHandOverTest : public ::testing::Test {
 protected:
  FileHandOverTest() : host(files) { files.Put(In("m.vmx")); }

  // Decides on `uses` (each file the machine's own) and adds the UEFI store.
  void Decide(const std::vector<FileUse>& uses, const std::string& vmx = In("m.vmx"),
              char separator = '/') {
    plan = std::make_unique<MachineFilePlan>(Place(vmx, separator), files);
    plan->Decide(uses);
    ASSERT_EQ(plan->refusal(), "") << plan->refusedPath();
    ASSERT_FALSE(plan->AsksUser());
  }

  // Opens what the renderer asks of the store.
  OpenResult Open(FileHandOver& store, std::string* failed) {
    return store.Open(host, BlockRenderer(*plan, store).FilesForQemu(), failed);
  }

  ScriptedFiles files;
  ScriptedHandOver host;
  std::unique_ptr<MachineFilePlan> plan;
};

TEST_F(FileHandOverTest, HandsEachFileAsItsOwnDescriptorSetOpenedAsItsUsesNeedIt) {
  files.Put(In("a,b.img"), std::string(1024, '\0'));
  files.Put(In("c.iso"));
  files.Put(In("s.log"));
  files.Put(In("m-efivars.fd"));
  Decide({DiskUse(In("a,b.img")), CdUse(In("c.iso")), SerialUse(In("s.log"))});
  plan->AddOwnFile(
      {In("m-efivars.fd"), FileAccess::kWrite, FileUseKind::kFirmwareVariables, "pflash1"});
  FileHandOver handOver(*plan);
  std::string failed;
  ASSERT_EQ(Open(handOver, &failed), OpenResult::kOpened);
  EXPECT_EQ(Openings(host), (std::vector<Opened>{{In("a,b.img"), HandOverMode::kReadWrite},
                                                 {In("c.iso"), HandOverMode::kRead},
                                                 {In("s.log"), HandOverMode::kAppend},
                                                 {In("m-efivars.fd"), HandOverMode::kReadWrite}}));
  // What the plan checked is what QEMU gets: the files are opened again
  // from those held since their check; the player's own store by its name.
  EXPECT_TRUE(host.openings[0].held);
  EXPECT_TRUE(host.openings[1].held);
  EXPECT_TRUE(host.openings[2].held);
  EXPECT_FALSE(host.openings[3].held);
  EXPECT_EQ(handOver.Descriptors(), (std::vector<int>{30, 31, 32, 33, 34, 35}));
  EXPECT_EQ(handOver.Preamble(), (Arguments{"-add-fd", "fd=30,set=1", "-add-fd", "fd=31,set=1",
                                            "-add-fd", "fd=32,set=2", "-add-fd", "fd=33,set=3",
                                            "-add-fd", "fd=34,set=4", "-add-fd", "fd=35,set=4"}));

  QemuInvocation invocation;
  invocation.Add({"-accel", "tcg"});
  invocation.AddBlockNodes("drive0", 0, false);
  invocation.AddBlockNodes("drive1", 1, true);
  invocation.Add({"-chardev"});
  invocation.AddFileName("file,id=serial0,path=", 2, ",append=on");
  invocation.Add({"-drive"});
  invocation.AddFileName("if=pflash,unit=1,format=raw,file=", 3, "");
  const Arguments arguments = RenderArguments(invocation, BlockRenderer(*plan, handOver));
  const Arguments expected = {
      "-add-fd",   "fd=30,set=1",
      "-add-fd",   "fd=31,set=1",
      "-add-fd",   "fd=32,set=2",
      "-add-fd",   "fd=33,set=3",
      "-add-fd",   "fd=34,set=4",
      "-add-fd",   "fd=35,set=4",
      "-accel",    "tcg",
      "-blockdev", "driver=file,node-name=drive0-file,filename=/dev/fdset/1",
      "-blockdev", "driver=raw,node-name=drive0,file=drive0-file",
      "-blockdev", "driver=file,node-name=drive1-file,filename=/dev/fdset/2,read-only=on",
      "-blockdev", "driver=raw,node-name=drive1,file=drive1-file,read-only=on",
      "-chardev",  "file,id=serial0,path=/dev/fdset/3,append=on",
      "-drive",    "if=pflash,unit=1,format=raw,file=/dev/fdset/4"};
  EXPECT_EQ(arguments, expected);
}

TEST_F(FileHandOverTest, HandsAChainLayerByLayerAndAVmdkOnlyItsExtent) {
  files.Put(In("top.qcow2"), Qcow2Naming("base.qcow2"));
  files.Put(In("base.qcow2"), Qcow2Naming(""));
  files.Put(In("d.vmdk"), FlatVmdkDescriptor("d-flat.vmdk", 2048, 0));
  files.Put(In("d-flat.vmdk"));
  Decide({DiskUse(In("top.qcow2")), DiskUse(In("d.vmdk"), "drive1")});
  FileHandOver handOver(*plan);
  std::string failed;
  ASSERT_EQ(Open(handOver, &failed), OpenResult::kOpened);
  // The descriptor is the player's to read; QEMU never gets it.
  EXPECT_EQ(Openings(host), (std::vector<Opened>{{In("top.qcow2"), HandOverMode::kReadWrite},
                                                 {In("base.qcow2"), HandOverMode::kRead},
                                                 {In("d-flat.vmdk"), HandOverMode::kReadWrite}}));
  EXPECT_EQ(
      BlockRenderer(*plan, handOver).BlockNodes(0, "drive0", false),
      (Arguments{"-blockdev",
                 "driver=file,node-name=drive0-1-file,filename=/dev/fdset/2,read-only=on",
                 "-blockdev", "driver=qcow2,node-name=drive0-1,file=drive0-1-file,read-only=on",
                 "-blockdev", "driver=file,node-name=drive0-file,filename=/dev/fdset/1",
                 "-blockdev", "driver=qcow2,node-name=drive0,file=drive0-file,backing=drive0-1"}));
  EXPECT_EQ(BlockRenderer(*plan, handOver).BlockNodes(1, "drive1", false),
            (Arguments{"-blockdev", "driver=file,node-name=drive1-1-file,filename=/dev/fdset/3",
                       "-blockdev",
                       "driver=raw,node-name=drive1,file=drive1-1-file,offset=0,size=1048576"}));
}

TEST_F(FileHandOverTest, HandsAFileThatSeveralUsesNameOnceAndACdDriveAsOne) {
  files.Put(In("c.iso"));
  files.kinds["/dev/sr0"] = FileKind::kBlockDevice;
  plan = std::make_unique<MachineFilePlan>(Place(In("m.vmx")), files);
  plan->Decide(
      {CdUse(In("c.iso"), "drive0"), CdUse(In("c.iso"), "drive1"), CdUse("/dev/sr0", "drive2")});
  // The drive lies outside the machine's folder.
  plan->Agree();
  ASSERT_EQ(plan->refusal(), "");
  FileHandOver handOver(*plan);
  std::string failed;
  ASSERT_EQ(Open(handOver, &failed), OpenResult::kOpened);
  ASSERT_EQ(host.openings.size(), 2u);
  EXPECT_EQ(BlockRenderer(*plan, handOver).FileName(0), "/dev/fdset/1");
  EXPECT_EQ(BlockRenderer(*plan, handOver).FileName(1), "/dev/fdset/1");
  EXPECT_EQ(BlockRenderer(*plan, handOver).BlockNodes(2, "drive2", true),
            (Arguments{"-blockdev",
                       "driver=host_cdrom,node-name=drive2-file,filename=/dev/fdset/2,read-only=on",
                       "-blockdev", "driver=raw,node-name=drive2,file=drive2-file,read-only=on"}));
}

TEST_F(FileHandOverTest, NamesTheFileThatDidNotOpen) {
  files.Put(In("a.img"));
  files.Put(In("c.iso"));
  Decide({DiskUse(In("a.img")), CdUse(In("c.iso"))});
  host.failing.insert(In("c.iso"));
  FileHandOver handOver(*plan);
  std::string failed;
  EXPECT_EQ(Open(handOver, &failed), OpenResult::kUnfit);
  EXPECT_EQ(failed, In("c.iso"));
}

// Windows: QEMU gets the placed names, each one option value.
TEST_F(FileHandOverTest, PassesThePlacedNamesWhereNoDescriptorsAreHanded) {
  const std::string folder = "C:\\vm,x\\";
  files.Put(folder + "m.vmx");
  files.links[folder + "link.qcow2"] = folder + "a,b.qcow2";
  files.Put(folder + "a,b.qcow2", Qcow2Naming("base,1.qcow2"));
  files.Put(folder + "base,1.qcow2", Qcow2Naming(""));
  files.Put(folder + "c.iso");
  Decide({DiskUse(folder + "link.qcow2"), CdUse(folder + "c.iso"), SerialUse(folder + "s,1.log")},
         folder + "m.vmx", '\\');
  host.descriptors = false;
  FileHandOver handOver(*plan);
  std::string failed;
  ASSERT_EQ(Open(handOver, &failed), OpenResult::kOpened);
  EXPECT_TRUE(host.openings.empty());
  EXPECT_TRUE(handOver.Preamble().empty());
  EXPECT_TRUE(handOver.Descriptors().empty());

  QemuInvocation invocation;
  invocation.AddBlockNodes("drive0", 0, false);
  invocation.AddBlockNodes("drive1", 1, true);
  invocation.Add({"-chardev"});
  invocation.AddFileName("file,id=serial0,path=", 2, ",append=on");
  const Arguments expected = {
      "-blockdev",
      "driver=file,node-name=drive0-1-file,filename=C:\\vm,,x\\base,,1.qcow2,read-only=on",
      "-blockdev",
      "driver=qcow2,node-name=drive0-1,file=drive0-1-file,read-only=on",
      "-blockdev",
      "driver=file,node-name=drive0-file,filename=C:\\vm,,x\\a,,b.qcow2",
      "-blockdev",
      "driver=qcow2,node-name=drive0,file=drive0-file,backing=drive0-1",
      "-blockdev",
      "driver=file,node-name=drive1-file,filename=C:\\vm,,x\\c.iso,read-only=on",
      "-blockdev",
      "driver=raw,node-name=drive1,file=drive1-file,read-only=on",
      "-chardev",
      "file,id=serial0,path=C:\\vm,,x\\s,,1.log,append=on"};
  EXPECT_EQ(RenderArguments(invocation, BlockRenderer(*plan, handOver)), expected);
}

TEST_F(FileHandOverTest, HandsASplitDiskThroughTheDescriptorThePlayerWrites) {
  files.Put(In("d.vmdk"),
            "# Disk DescriptorFile\nCID=0000abcd\nparentCID=ffffffff\n"
            "createType=\"twoGbMaxExtentSparse\"\nRW 2048 SPARSE \"d-s001.vmdk\"\n"
            "RW 2048 SPARSE \"d-s002.vmdk\"\n");
  files.Put(In("d-s001.vmdk"), SparseVmdkFile());
  files.Put(In("d-s002.vmdk"), SparseVmdkFile());
  Decide({DiskUse(In("d.vmdk"))});
  FileHandOver handOver(*plan);
  BlockRenderer renderer(*plan, handOver);
  std::string failed;
  ASSERT_EQ(handOver.Open(host, renderer.FilesForQemu(), &failed), OpenResult::kOpened);
  // QEMU gets the extents, never the descriptor as it lies.
  EXPECT_EQ(Openings(host), (std::vector<Opened>{{In("d-s001.vmdk"), HandOverMode::kReadWrite},
                                                 {In("d-s002.vmdk"), HandOverMode::kReadWrite}}));
  ASSERT_EQ(renderer.PlayerImages().size(), 1u);
  EXPECT_EQ(renderer.PlayerImages()[0].kind, PlayerImage::Kind::kDescriptor);
  EXPECT_TRUE(renderer.PlayerImages()[0].written);
  EXPECT_FALSE(renderer.DiscardsWrites());
  std::string text;
  ASSERT_TRUE(renderer.ImageBytes(0, &text));
  EXPECT_NE(text.find("RW 2048 SPARSE \"/dev/fdset/1\"\nRW 2048 SPARSE \"/dev/fdset/2\"\n"),
            std::string::npos)
      << text;
  std::size_t copy = kNoFile;
  ASSERT_TRUE(handOver.AddPlayerFile(host, "/tmp/trennwick_overlay_1/0-disk.vmdk",
                                     FileAccess::kWrite, &copy, &failed));
  renderer.HandedOver(0, copy);
  EXPECT_EQ(host.openings.back().name, "/tmp/trennwick_overlay_1/0-disk.vmdk");
  EXPECT_FALSE(host.openings.back().held);
  EXPECT_EQ(renderer.BlockNodes(0, "drive0", false),
            (Arguments{"-blockdev", "driver=file,node-name=drive0-file,filename=/dev/fdset/3",
                       "-blockdev", "driver=vmdk,node-name=drive0,file=drive0-file"}));
}

TEST_F(FileHandOverTest, GivesALayerQemuOnlyReadsAThrowAwayOverlay) {
  files.Put(In("s.vmdk"), SparseVmdkFile(1));
  files.Put(In("a.img"), std::string(1000, '\0'));
  FileUse appliance = DiskUse(In("a.img"), "drive1");
  appliance.throwAwayWrites = true;
  Decide({DiskUse(In("s.vmdk")), appliance});
  FileHandOver handOver(*plan);
  BlockRenderer renderer(*plan, handOver);
  std::string failed;
  ASSERT_EQ(handOver.Open(host, renderer.FilesForQemu(), &failed), OpenResult::kOpened);
  // Both files are only read; each disk gets an overlay of its size.
  EXPECT_EQ(Openings(host), (std::vector<Opened>{{In("s.vmdk"), HandOverMode::kRead},
                                                 {In("a.img"), HandOverMode::kRead}}));
  ASSERT_EQ(renderer.PlayerImages().size(), 2u);
  EXPECT_TRUE(renderer.DiscardsWrites());
  for (std::size_t image = 0; image < 2; ++image) {
    EXPECT_EQ(renderer.PlayerImages()[image].kind, PlayerImage::Kind::kOverlay);
    std::string bytes;
    ASSERT_TRUE(renderer.ImageBytes(image, &bytes));
    std::size_t file = kNoFile;
    ASSERT_TRUE(handOver.AddPlayerFile(host, "/tmp/o" + std::to_string(image), FileAccess::kWrite,
                                       &file, &failed));
    renderer.HandedOver(image, file);
  }
  EXPECT_EQ(
      renderer.BlockNodes(1, "drive1", false),
      (Arguments{
          "-blockdev", "driver=file,node-name=drive1-base-file,filename=/dev/fdset/2,read-only=on",
          "-blockdev", "driver=raw,node-name=drive1-base,file=drive1-base-file,read-only=on",
          "-blockdev", "driver=file,node-name=drive1-file,filename=/dev/fdset/4", "-blockdev",
          "driver=qcow2,node-name=drive1,file=drive1-file,backing=drive1-base"}));
  // A CD drive's image stays read-only without one.
  EXPECT_EQ(renderer.BlockNodes(0, "drive0", true).size(), 4u);
}

}  // namespace
