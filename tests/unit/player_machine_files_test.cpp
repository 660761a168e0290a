#include "player/machine_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scripted_machine_files.h"

namespace {

using namespace player_test;

TEST(MachineFilePlaces, KnowsTheLaunchersOwnRunsByNameAndDepth) {
  EXPECT_TRUE(
      NamedLikeTrennwickRun("/tmp/trennwick_temp_20260101_1200/trennwick.vmx", "/tmp/", '/'));
  EXPECT_TRUE(NamedLikeTrennwickRun("/tmp/trennwick_temp_x_2/trennwick.vmx", "/tmp/", '/'));
  EXPECT_FALSE(NamedLikeTrennwickRun("/tmp/trennwick_temp_/trennwick.vmx", "/tmp/", '/'));
  EXPECT_FALSE(NamedLikeTrennwickRun("/tmp/trennwick_temp_1/other.vmx", "/tmp/", '/'));
  EXPECT_FALSE(NamedLikeTrennwickRun("/tmp/trennwick_temp_1/sub/trennwick.vmx", "/tmp/", '/'));
  EXPECT_FALSE(NamedLikeTrennwickRun("/tmp/a/trennwick_temp_1/trennwick.vmx", "/tmp/", '/'));
  EXPECT_FALSE(NamedLikeTrennwickRun("/var/tmp/trennwick_temp_1/trennwick.vmx", "/tmp/", '/'));
  EXPECT_FALSE(NamedLikeTrennwickRun("/tmp/trennwick_temp_1/trennwick.vmx.x", "/tmp/", '/'));
  EXPECT_FALSE(NamedLikeTrennwickRun("/tmp/Trennwick_temp_1/trennwick.vmx", "/tmp/", '/'));
  EXPECT_TRUE(NamedLikeTrennwickRun("C:\\TMP\\trennwick_temp_1\\Trennwick.VMX", "c:\\tmp\\", '\\'));
  EXPECT_FALSE(
      NamedLikeTrennwickRun("c:\\tmp\\x\\trennwick_temp_1\\trennwick.vmx", "c:\\tmp\\", '\\'));
}

constexpr char kVmx[] = "/home/u/vm/m.vmx";
constexpr char kHome[] = "/home/u/";
constexpr char kDownloads[] = "/home/u/Downloads/";

// The resolved names of the files asked about now.
std::vector<std::string> Asked(const MachineFilePlan& plan) {
  std::vector<std::string> names;
  for (const PlannedFile* file : plan.FilesToAsk()) names.push_back(file->resolved);
  return names;
}

class MachineFilePlanTest : public ::testing::Test {
 protected:
  MachineFilePlanTest() {
    files.Put(kVmx);
    files.Put("/home/u/vm/disk.img");
    files.Put("/home/u/vm/cd.iso");
    files.Put("/home/u/.bashrc");
    files.Put("/home/u/.ssh/id_ed25519");
  }

  MachinePlace Place(const std::string& vmx = kVmx, char separator = '/') const {
    MachinePlace place;
    place.vmxFile = vmx;
    place.temporaryRoot = separator == '/' ? "/tmp/" : "C:\\tmp\\";
    place.separator = separator;
    place.userFolders = {kHome, kDownloads};
    return place;
  }

  ScriptedFiles files;
};

TEST_F(MachineFilePlanTest, FilesInTheFolderAreTheMachinesOwnAndTheRestIsAsked) {
  files.links["/home/u/vm/../.bashrc"] = "/home/u/.bashrc";
  files.links["/home/u/vm/log.txt"] = "/home/u/.bash_logout";  // a link out
  files.Put("/home/u/.bash_logout");
  MachineFilePlan plan(Place(), files);
  plan.Decide({DiskUse("/home/u/vm/disk.img"), DiskUse("/home/u/vm/../.bashrc", "drive1"),
               CdUse("/home/u/.ssh/id_ed25519", "drive2"), SerialUse("/home/u/vm/log.txt")});
  ASSERT_EQ(plan.refusal(), "");
  EXPECT_TRUE(plan.AsksUser());
  EXPECT_EQ(Asked(plan), (std::vector<std::string>{"/home/u/.bashrc", "/home/u/.ssh/id_ed25519",
                                                   "/home/u/.bash_logout"}));
  const std::vector<const PlannedFile*> asked = plan.FilesToAsk();
  EXPECT_EQ(asked[0]->access, FileAccess::kWrite);
  EXPECT_EQ(asked[1]->access, FileAccess::kRead);
  EXPECT_EQ(asked[2]->access, FileAccess::kAppend);
  // The machine's own disk is read for its format; nothing outside is
  // opened or read before the user agreed.
  EXPECT_TRUE(files.WasRead("/home/u/vm/disk.img"));
  for (const char* outside : {"/home/u/.bashrc", "/home/u/.ssh/id_ed25519"}) {
    EXPECT_FALSE(files.WasHeld(outside)) << outside;
  }
  ASSERT_NE(plan.ChainOfUse(1), nullptr);
  EXPECT_TRUE(plan.ChainOfUse(1)->Pending());

  plan.Agree();
  EXPECT_FALSE(plan.AsksUser());
  EXPECT_EQ(plan.refusal(), "");
  EXPECT_TRUE(files.WasRead("/home/u/.bashrc"));
  EXPECT_TRUE(files.WasHeld("/home/u/.ssh/id_ed25519"));
  EXPECT_FALSE(plan.ChainOfUse(1)->Pending());

  // A missing serial output in the folder is made there: nothing to ask.
  MachineFilePlan own(Place(), files);
  own.Decide({DiskUse("/home/u/vm/disk.img"), SerialUse("/home/u/vm/new.log")});
  EXPECT_EQ(own.refusal(), "");
  EXPECT_FALSE(own.AsksUser());
  ASSERT_EQ(own.files().size(), 2u);
  EXPECT_EQ(own.files()[1].fileKind, FileKind::kMissing);
}

// Where a .vmx lies without a folder of its own, none of its files is its
// own: a download in Downloads must not reach the user's files unasked.
TEST_F(MachineFilePlanTest, ALoneVmxInASharedOrUserFolderHasNoFilesOfItsOwn) {
  files.sharedFolders.insert("/srv/shared/");
  for (const std::string& folder :
       {std::string(kDownloads), std::string(kHome), std::string("/tmp/"),
        std::string("/srv/shared/"), std::string("/")}) {
    files.Put(folder + "m.vmx");
    files.Put(folder + "disk.img");
    files.Put(folder + "cd.iso");
    files.read.clear();
    MachineFilePlan plan(Place(folder + "m.vmx"), files);
    plan.Decide(
        {DiskUse(folder + "disk.img"), CdUse(folder + "cd.iso"), SerialUse(folder + "s.log")});
    ASSERT_EQ(plan.refusal(), "") << folder;
    EXPECT_EQ(Asked(plan),
              (std::vector<std::string>{folder + "disk.img", folder + "cd.iso", folder + "s.log"}))
        << folder;
    EXPECT_TRUE(files.read.empty()) << folder;
    // The player's own store beside the .vmx is never asked about.
    plan.AddOwnFile(
        {folder + "m-efivars.fd", FileAccess::kWrite, FileUseKind::kFirmwareVariables, "pflash1"});
    EXPECT_EQ(Asked(plan).size(), 3u) << folder;
  }
  // A folder of its own below them is a machine's folder.
  files.Put("/home/u/Downloads/vm/m.vmx");
  files.Put("/home/u/Downloads/vm/cd.iso");
  MachineFilePlan own(Place("/home/u/Downloads/vm/m.vmx"), files);
  own.Decide({CdUse("/home/u/Downloads/vm/cd.iso")});
  EXPECT_FALSE(own.AsksUser());
  // So is the root of a Windows drive not.
  files.Put("C:\\m.vmx");
  files.Put("C:\\cd.iso");
  MachineFilePlan drive(Place("C:\\m.vmx", '\\'), files);
  drive.Decide({CdUse("C:\\cd.iso")});
  EXPECT_EQ(Asked(drive), std::vector<std::string>{"C:\\cd.iso"});
}

TEST_F(MachineFilePlanTest, TheVmxItselfIsNoDriveAndNoOutput) {
  files.links["/home/u/vm/alias"] = kVmx;
  for (const std::string& name : {std::string(kVmx), std::string("/home/u/vm/alias")}) {
    for (const FileUse& use : {DiskUse(name), CdUse(name), SerialUse(name)}) {
      MachineFilePlan plan(Place(), files);
      plan.Decide({use});
      EXPECT_NE(plan.refusal().find("Konfiguration selbst"), std::string::npos) << name;
      EXPECT_EQ(plan.refusedPath(), name);
      EXPECT_FALSE(plan.AsksUser());
    }
  }
}

// A second name of a file in the machine's folder may be one of the user's
// files anywhere.
TEST_F(MachineFilePlanTest, AFileWithFurtherNamesIsAsked) {
  files.Put("/home/u/vm/s.log");
  for (const FileUse& use : {DiskUse("/home/u/vm/disk.img"), CdUse("/home/u/vm/cd.iso"),
                             SerialUse("/home/u/vm/s.log")}) {
    files.linkCounts[use.path] = 2;
    MachineFilePlan plan(Place(), files);
    plan.Decide({use});
    EXPECT_EQ(plan.refusal(), "");
    EXPECT_EQ(Asked(plan), std::vector<std::string>{use.path}) << use.path;
    plan.Agree();
    EXPECT_FALSE(plan.AsksUser()) << use.path;
    files.linkCounts.clear();
  }
}

TEST_F(MachineFilePlanTest, ALaunchersRunAsksNothingButStillRefuses) {
  const std::string run = "/tmp/trennwick_temp_1/trennwick.vmx";
  files.Put(run);
  files.linkCounts["/home/u/vm/disk.img"] = 3;
  MachinePlace place = Place(run);
  place.trennwickRun = true;
  MachineFilePlan plan(place, files);
  plan.Decide({DiskUse("/home/u/vm/disk.img"), CdUse("/home/u/.ssh/id_ed25519"),
               SerialUse("/home/u/.bashrc")});
  EXPECT_EQ(plan.refusal(), "");
  EXPECT_FALSE(plan.AsksUser());
  EXPECT_TRUE(files.WasHeld("/home/u/.ssh/id_ed25519"));
  MachineFilePlan network(place, files);
  network.Decide({CdUse("//server/share/x.iso")});
  EXPECT_NE(network.refusal().find("Netzwerk"), std::string::npos);
}

// Option syntax in a name is part of the name: it is placed and handed
// over as one file.
TEST_F(MachineFilePlanTest, OptionTextInFileAndFolderNamesIsJustAName) {
  const std::string folder = "/home/u/vm,format=raw,file=x/";
  const std::string disk = folder + ",format=qcow2,file=x";
  files.Put(folder + "m.vmx");
  files.Put(disk, Qcow2Naming("b,file.driver=ssh,file.host=h"));
  files.Put(folder + "b,file.driver=ssh,file.host=h", Qcow2Naming(""));
  MachineFilePlan plan(Place(folder + "m.vmx"), files);
  plan.Decide({DiskUse(disk)});
  ASSERT_EQ(plan.refusal(), "");
  EXPECT_FALSE(plan.AsksUser());
  ASSERT_EQ(plan.files().size(), 2u);
  EXPECT_EQ(plan.files()[0].resolved, disk);
  EXPECT_EQ(plan.files()[1].resolved, folder + "b,file.driver=ssh,file.host=h");
  EXPECT_FALSE(files.WasHeld(folder + "x"));
}

TEST_F(MachineFilePlanTest, RefusesNetworkAndDevicePathsWithoutLookingAtThem) {
  for (const std::string bad :
       {"//server/share/x.img", "/dev/fd/3", "/proc/self/fd/0", "/dev/sda", "/dev/sr0"}) {
    files.looked.clear();
    MachineFilePlan plan(Place(), files);
    plan.Decide({DiskUse("/home/u/vm/disk.img"), DiskUse(bad, "drive1")});
    EXPECT_NE(plan.refusal(), "") << bad;
    EXPECT_EQ(plan.refusedPath(), bad);
    EXPECT_FALSE(plan.AsksUser()) << bad;
    for (const std::string& name : files.looked) EXPECT_NE(name, bad) << bad;
  }
  // A CD drive is a CD's to read.
  files.kinds["/dev/sr0"] = FileKind::kBlockDevice;
  MachineFilePlan drive(Place(), files);
  drive.Decide({CdUse("/dev/sr0")});
  EXPECT_EQ(drive.refusal(), "");
  // A name that leads into a device or process folder is refused where it leads.
  files.links["/home/u/vm/fd.img"] = "/proc/self/fd/3";
  MachineFilePlan led(Place(), files);
  led.Decide({DiskUse("/home/u/vm/fd.img")});
  EXPECT_NE(led.refusal().find("Ger\xE4te"), std::string::npos);
  // A .vmx on a network share is refused before anything else.
  MachineFilePlan shared(Place("//server/share/m.vmx"), files);
  shared.Decide({CdUse("/home/u/vm/cd.iso")});
  EXPECT_NE(shared.refusal(), "");
  EXPECT_TRUE(shared.files().empty());
}

TEST_F(MachineFilePlanTest, DisksAndSerialOutputsMustBeRegularFiles) {
  files.kinds["/home/u/vm/fifo"] = FileKind::kOther;
  files.kinds["/home/u/vm/folder"] = FileKind::kDirectory;
  files.kinds["/home/u/vm/sdb"] = FileKind::kBlockDevice;
  for (const std::vector<FileUse>& uses : std::vector<std::vector<FileUse>>{
           {DiskUse("/home/u/vm/fifo")},
           {DiskUse("/home/u/vm/sdb")},
           {DiskUse("/home/u/vm/disk.img"), SerialUse("/home/u/vm/fifo")},
           {DiskUse("/home/u/vm/disk.img"), SerialUse("/home/u/vm/folder")},
           {CdUse("/home/u/vm/folder")},
           {CdUse("/home/u/vm/sdb")}}) {
    MachineFilePlan plan(Place(), files);
    plan.Decide(uses);
    EXPECT_NE(plan.refusal(), "") << uses.back().path;
    EXPECT_EQ(plan.refusedPath(), uses.back().path);
  }
  MachineFilePlan missing(Place(), files);
  missing.Decide({DiskUse("/home/u/vm/gone.img")});
  EXPECT_NE(missing.refusal().find("nicht gefunden"), std::string::npos);
  EXPECT_EQ(missing.refusedPath(), "/home/u/vm/gone.img");
  files.links["/home/u/vm/dangling.iso"] = "";
  MachineFilePlan dangling(Place(), files);
  dangling.Decide({CdUse("/home/u/vm/dangling.iso")});
  EXPECT_NE(dangling.refusal().find("nicht gefunden"), std::string::npos);
}

TEST_F(MachineFilePlanTest, AnImagesBackingFileOutsideIsAskedBeforeItIsRead) {
  files.Put("/home/u/vm/top.qcow2", Qcow2Naming("/home/u/base.qcow2"));
  files.Put("/home/u/base.qcow2", Qcow2Naming(""));
  MachineFilePlan plan(Place(), files);
  plan.Decide({DiskUse("/home/u/vm/top.qcow2")});
  ASSERT_EQ(plan.refusal(), "");
  EXPECT_EQ(Asked(plan), std::vector<std::string>{"/home/u/base.qcow2"});
  // Backing layers are only read.
  EXPECT_EQ(plan.FilesToAsk()[0]->access, FileAccess::kRead);
  EXPECT_EQ(plan.files()[0].access, FileAccess::kWrite);
  EXPECT_TRUE(files.WasRead("/home/u/vm/top.qcow2"));
  EXPECT_FALSE(files.WasRead("/home/u/base.qcow2"));
  EXPECT_FALSE(files.WasHeld("/home/u/base.qcow2"));
  plan.Agree();
  EXPECT_FALSE(plan.AsksUser());
  EXPECT_TRUE(files.WasRead("/home/u/base.qcow2"));
  const ImageChain* chain = plan.ChainOfUse(0);
  ASSERT_NE(chain, nullptr);
  ASSERT_EQ(chain->nodes.size(), 2u);
  EXPECT_FALSE(chain->Pending());
  EXPECT_EQ(chain->nodes[1].format, ImageFormat::kQcow2);

  // Inside the folder, a relative name asks nothing.
  files.Put("/home/u/vm/top.qcow2", Qcow2Naming("base.qcow2"));
  files.Put("/home/u/vm/base.qcow2", Qcow2Naming(""));
  MachineFilePlan inside(Place(), files);
  inside.Decide({DiskUse("/home/u/vm/top.qcow2")});
  EXPECT_EQ(inside.refusal(), "");
  EXPECT_FALSE(inside.AsksUser());
  ASSERT_EQ(inside.files().size(), 2u);
  EXPECT_EQ(inside.files()[1].resolved, "/home/u/vm/base.qcow2");
  EXPECT_EQ(inside.files()[1].access, FileAccess::kRead);
}

// Each answer lets the player read one level further, which may name
// another file outside: that one is asked about in a round of its own.
TEST_F(MachineFilePlanTest, AsksRoundByRoundDownAChain) {
  files.Put("/home/u/vm/top.qcow2", Qcow2Naming("/home/u/a.qcow2"));
  files.Put("/home/u/a.qcow2", Qcow2Naming("/srv/b.qcow2"));
  files.Put("/srv/b.qcow2", Qcow2Naming(""));
  MachineFilePlan plan(Place(), files);
  plan.Decide({DiskUse("/home/u/vm/top.qcow2")});
  EXPECT_EQ(Asked(plan), std::vector<std::string>{"/home/u/a.qcow2"});
  EXPECT_FALSE(files.WasRead("/home/u/a.qcow2"));
  plan.Agree();
  EXPECT_TRUE(files.WasRead("/home/u/a.qcow2"));
  EXPECT_EQ(Asked(plan), std::vector<std::string>{"/srv/b.qcow2"});
  EXPECT_FALSE(files.WasRead("/srv/b.qcow2"));
  plan.Agree();
  EXPECT_FALSE(plan.AsksUser());
  EXPECT_EQ(plan.refusal(), "");
  ASSERT_NE(plan.ChainOfUse(0), nullptr);
  EXPECT_EQ(plan.ChainOfUse(0)->nodes.size(), 3u);
}

TEST_F(MachineFilePlanTest, RefusesAProtocolOrNetworkNameAnywhereInAChain) {
  files.Put("/home/u/vm/top.qcow2", Qcow2Naming("mid.qcow2"));
  for (const std::string name :
       {"nbd:evil:10809", "json:{\"driver\":\"ssh\"}", "http://h/x.qcow2"}) {
    files.Put("/home/u/vm/mid.qcow2", Qcow2Naming(name));
    MachineFilePlan plan(Place(), files);
    plan.Decide({DiskUse("/home/u/vm/top.qcow2")});
    EXPECT_NE(plan.refusal().find("Protokoll"), std::string::npos) << name;
    EXPECT_EQ(plan.refusedPath(), name);
    EXPECT_FALSE(plan.AsksUser());
  }
  files.Put("/home/u/vm/mid.qcow2", Qcow2Naming("//server/share/b.qcow2"));
  MachineFilePlan network(Place(), files);
  network.Decide({DiskUse("/home/u/vm/top.qcow2")});
  EXPECT_NE(network.refusal().find("Netzwerk"), std::string::npos);
  // Behind an agreed layer as well.
  files.Put("/home/u/vm/mid.qcow2", Qcow2Naming("/home/u/a.qcow2"));
  files.Put("/home/u/a.qcow2", Qcow2Naming("nbd:evil:10809"));
  MachineFilePlan deep(Place(), files);
  deep.Decide({DiskUse("/home/u/vm/top.qcow2")});
  EXPECT_TRUE(deep.AsksUser());
  deep.Agree();
  EXPECT_NE(deep.refusal(), "");
  EXPECT_FALSE(deep.AsksUser());
}

TEST_F(MachineFilePlanTest, AFlatVmdksExtentIsPlacedAsTheDisksData) {
  files.Put("/home/u/vm/d.vmdk", FlatVmdkDescriptor("../victim.bin", 2048, 8));
  files.links["/home/u/vm/../victim.bin"] = "/home/u/victim.bin";
  files.Put("/home/u/victim.bin");
  MachineFilePlan plan(Place(), files);
  plan.Decide({DiskUse("/home/u/vm/d.vmdk")});
  ASSERT_EQ(plan.refusal(), "");
  EXPECT_EQ(Asked(plan), std::vector<std::string>{"/home/u/victim.bin"});
  // The guest writes the extent.
  EXPECT_EQ(plan.FilesToAsk()[0]->access, FileAccess::kWrite);
  plan.Agree();
  EXPECT_FALSE(plan.AsksUser());
  const ImageChain* chain = plan.ChainOfUse(0);
  ASSERT_NE(chain, nullptr);
  ASSERT_EQ(chain->nodes.size(), 2u);
  EXPECT_EQ(chain->nodes[0].extentOffset, 4096u);
  EXPECT_EQ(chain->nodes[0].extentSize, 1048576u);
  ASSERT_EQ(chain->nodes[0].extent, 1);
  EXPECT_EQ(plan.files()[chain->nodes[1].file].resolved, "/home/u/victim.bin");
}

}  // namespace

// The user's "Ja" covers the file and the access the question named; a
// later use that needs more is asked again, or refused.
class OneAnswerPerAccessTest : public MachineFilePlanTest {
 protected:
  // Agrees to what is asked now; the names and accesses asked.
  std::vector<std::pair<std::string, FileAccess>> AskAndAgree(MachineFilePlan& plan) {
    std::vector<std::pair<std::string, FileAccess>> asked;
    for (const PlannedFile* file : plan.FilesToAsk())
      asked.push_back({file->resolved, file->access});
    plan.Agree();
    return asked;
  }
};

TEST_F(OneAnswerPerAccessTest, AReadLayerThatTurnsOutAWrittenExtentIsAskedAgain) {
  // The download: its own qcow2 over the user's disk, and a descriptor
  // outside whose flat extent is that same disk.
  files.Put("/home/u/vm/b.qcow2", Qcow2Naming("/home/u/win10/win10.vmdk"));
  files.Put("/home/u/win10/win10.vmdk", std::string(4096, '\0'));
  files.Put("/home/u/y.vmdk", FlatVmdkDescriptor("win10/win10.vmdk", 8, 0));
  MachineFilePlan plan(Place(), files);
  plan.Decide({DiskUse("/home/u/vm/b.qcow2"), DiskUse("/home/u/y.vmdk", "drive1")});
  ASSERT_EQ(plan.refusal(), "");
  EXPECT_EQ(AskAndAgree(plan), (std::vector<std::pair<std::string, FileAccess>>{
                                   {"/home/u/y.vmdk", FileAccess::kWrite},
                                   {"/home/u/win10/win10.vmdk", FileAccess::kRead}}));
  // Only now the descriptor is read: its extent is the disk, written.
  ASSERT_TRUE(plan.AsksUser());
  EXPECT_EQ(AskAndAgree(plan), (std::vector<std::pair<std::string, FileAccess>>{
                                   {"/home/u/win10/win10.vmdk", FileAccess::kWrite}}));
  EXPECT_FALSE(plan.AsksUser());
}

TEST_F(OneAnswerPerAccessTest, ABackingLayerThatIsAlsoAWrittenTopIsAskedOnceForWriting) {
  files.Put("/home/u/vm/a.qcow2", Qcow2Naming("/home/u/base.qcow2"));
  files.Put("/home/u/base.qcow2", Qcow2Naming(""));
  MachineFilePlan plan(Place(), files);
  plan.Decide({DiskUse("/home/u/vm/a.qcow2"), DiskUse("/home/u/base.qcow2", "drive1")});
  ASSERT_EQ(plan.refusal(), "");
  EXPECT_EQ(AskAndAgree(plan), (std::vector<std::pair<std::string, FileAccess>>{
                                   {"/home/u/base.qcow2", FileAccess::kWrite}}));
  EXPECT_FALSE(plan.AsksUser());
}

TEST_F(OneAnswerPerAccessTest, ASerialOutputThatIsAlsoAnExtentOrASecondDiskIsAskedAgain) {
  files.Put("/home/u/out.vmdk", FlatVmdkDescriptor("s.log", 8, 0));
  files.Put("/home/u/s.log", std::string(4096, '\0'));
  MachineFilePlan plan(Place(), files);
  plan.Decide({DiskUse("/home/u/out.vmdk"), SerialUse("/home/u/s.log")});
  EXPECT_EQ(AskAndAgree(plan),
            (std::vector<std::pair<std::string, FileAccess>>{
                {"/home/u/out.vmdk", FileAccess::kWrite}, {"/home/u/s.log", FileAccess::kAppend}}));
  EXPECT_EQ(
      AskAndAgree(plan),
      (std::vector<std::pair<std::string, FileAccess>>{{"/home/u/s.log", FileAccess::kWrite}}));
  EXPECT_FALSE(plan.AsksUser());

  // A second drive that writes a disk the user agreed to for one.
  files.Put("/home/u/d.img", std::string(4096, '\0'));
  files.Put("/home/u/e.vmdk", FlatVmdkDescriptor("d.img", 8, 0));
  MachineFilePlan twice(Place(), files);
  twice.Decide({DiskUse("/home/u/d.img"), DiskUse("/home/u/e.vmdk", "drive1")});
  EXPECT_EQ(AskAndAgree(twice),
            (std::vector<std::pair<std::string, FileAccess>>{
                {"/home/u/d.img", FileAccess::kWrite}, {"/home/u/e.vmdk", FileAccess::kWrite}}));
  EXPECT_EQ(
      AskAndAgree(twice),
      (std::vector<std::pair<std::string, FileAccess>>{{"/home/u/d.img", FileAccess::kWrite}}));
}

TEST_F(OneAnswerPerAccessTest, AFileThatIsACdAndWrittenIsRefused) {
  files.Put("/home/u/.bashrc", std::string(4096, '\0'));
  files.Put("/home/u/x.vmdk", FlatVmdkDescriptor(".bashrc", 8, 0));
  MachineFilePlan plan(Place(), files);
  plan.Decide({CdUse("/home/u/.bashrc"), DiskUse("/home/u/x.vmdk", "drive1")});
  ASSERT_EQ(plan.refusal(), "");
  plan.Agree();
  EXPECT_EQ(plan.refusal(),
            "Eine Datei kann nicht zugleich als CD gelesen und als Festplatte oder Ausgabe "
            "beschrieben werden: '");
  EXPECT_EQ(plan.refusedPath(), "/home/u/.bashrc");
  // The same in the machine's own folder, and with a serial output.
  files.Put("/home/u/vm/c.iso");
  MachineFilePlan own(Place(), files);
  own.Decide({CdUse("/home/u/vm/c.iso"), SerialUse("/home/u/vm/c.iso")});
  EXPECT_EQ(own.refusedPath(), "/home/u/vm/c.iso");
}
