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
  bool Open(FileHandOver& store, std::string* failed) {
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
  ASSERT_TRUE(Open(handOver, &failed));
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
  invocation.uses = plan->uses();
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
  ASSERT_TRUE(Open(handOver, &failed));
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
  ASSERT_TRUE(Open(handOver, &failed));
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
  EXPECT_FALSE(Open(handOver, &failed));
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
  ASSERT_TRUE(Open(handOver, &failed));
  EXPECT_TRUE(host.openings.empty());
  EXPECT_TRUE(handOver.Preamble().empty());
  EXPECT_TRUE(handOver.Descriptors().empty());

  QemuInvocation invocation;
  invocation.uses = plan->uses();
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

}  // namespace
