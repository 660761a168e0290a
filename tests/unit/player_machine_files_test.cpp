#include "player/machine_files.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "player/qemu_invocation.h"
#include "player/vmx_config.h"

namespace {

using Arguments = std::vector<std::string>;

TEST(MachineFilePlaces, ClassifiesNamesWithoutTheFileSystem) {
  EXPECT_EQ(ClassifyPath("/home/u/vm/disk.img", '/'), PathClass::kOrdinary);
  EXPECT_EQ(ClassifyPath("//server/share/x.iso", '/'), PathClass::kNetwork);
  EXPECT_EQ(ClassifyPath("/dev/fd/3", '/'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("/dev", '/'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("/proc/self/fd/0", '/'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("/sys/block/sda", '/'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("/dev/sr0", '/'), PathClass::kCdDrive);
  EXPECT_EQ(ClassifyPath("/dev/cdrom", '/'), PathClass::kCdDrive);
  EXPECT_EQ(ClassifyPath("/dev/sda", '/'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("/dev/srx", '/'), PathClass::kDevice);
  // Near misses are ordinary files.
  EXPECT_EQ(ClassifyPath("/devices/x", '/'), PathClass::kOrdinary);
  EXPECT_EQ(ClassifyPath("/home/u/proc/x", '/'), PathClass::kOrdinary);
  // A backslash name is an ordinary (odd) file name on POSIX.
  EXPECT_EQ(ClassifyPath("\\\\server\\share\\x.iso", '/'), PathClass::kOrdinary);

  EXPECT_EQ(ClassifyPath("C:\\Users\\u\\vm\\a.vmdk", '\\'), PathClass::kOrdinary);
  EXPECT_EQ(ClassifyPath("\\\\server\\share\\x.iso", '\\'), PathClass::kNetwork);
  EXPECT_EQ(ClassifyPath("//server/share/x.iso", '\\'), PathClass::kNetwork);
  EXPECT_EQ(ClassifyPath("\\/server/share", '\\'), PathClass::kNetwork);
  EXPECT_EQ(ClassifyPath("\\\\?\\C:\\x.img", '\\'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("\\\\?\\UNC\\server\\share", '\\'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("\\\\.\\PhysicalDrive0", '\\'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("\\\\.\\D:", '\\'), PathClass::kCdDrive);
  EXPECT_EQ(ClassifyPath("//./cdrom0", '\\'), PathClass::kCdDrive);
  EXPECT_EQ(ClassifyPath("C:\\vm\\COM1", '\\'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("nul.txt", '\\'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("C:\\vm\\Con ", '\\'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("C:\\vm\\console.log", '\\'), PathClass::kOrdinary);
  EXPECT_EQ(ClassifyPath("C:\\vm\\com10", '\\'), PathClass::kOrdinary);
}

TEST(MachineFilePlaces, LiesInFolderOnlyBelowAFolderBoundary) {
  EXPECT_TRUE(LiesInFolder("/home/u/vm/disk.img", "/home/u/vm/", '/'));
  EXPECT_TRUE(LiesInFolder("/home/u/vm/sub/disk.img", "/home/u/vm/", '/'));
  EXPECT_FALSE(LiesInFolder("/home/u/vm2/disk.img", "/home/u/vm/", '/'));
  EXPECT_FALSE(LiesInFolder("/home/u/vm", "/home/u/vm/", '/'));
  EXPECT_FALSE(LiesInFolder("/home/u/vm/", "/home/u/vm/", '/'));
  EXPECT_FALSE(LiesInFolder("/home/u/VM/disk.img", "/home/u/vm/", '/'));
  EXPECT_FALSE(LiesInFolder("/home/u/vm/disk.img", "/home/u/vm", '/'));  // no boundary given
  // Windows: any case, either separator.
  EXPECT_TRUE(LiesInFolder("c:\\Users\\U\\VM\\disk.img", "C:\\users\\u\\vm\\", '\\'));
  EXPECT_TRUE(LiesInFolder("C:/Users/u/vm/disk.img", "C:\\Users\\u\\vm\\", '\\'));
  EXPECT_FALSE(LiesInFolder("C:\\Users\\u\\vm2\\disk.img", "C:\\Users\\u\\vm\\", '\\'));
  EXPECT_FALSE(LiesInFolder("D:\\Users\\u\\vm\\disk.img", "C:\\Users\\u\\vm\\", '\\'));
}

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

// A file system in a table: what each name resolves to, what lies there,
// which files are private, what qemu-img reports.
class ScriptedFiles : public MachineFileHost {
 public:
  std::map<std::string, std::string>
      links;                              // name -> resolved; unlisted names resolve to themselves
  std::map<std::string, FileKind> kinds;  // unlisted: missing
  std::set<std::string> privateFiles;
  std::map<std::string, std::string> reports;  // image -> qemu-img JSON; unlisted: qemu-img fails
  std::map<std::string, std::string> descriptors;
  std::map<std::string, std::string>
      starts;  // the first bytes of images; unlisted: none of a format
  bool toolPresent = true;
  std::vector<std::string> looked;  // every name asked about, in order

  bool Resolve(const std::string& path, std::string* resolved) override {
    looked.push_back(path);
    const auto link = links.find(path);
    *resolved = link == links.end() ? path : link->second;
    return !resolved->empty();
  }
  FileKind Kind(const std::string& resolved) override {
    looked.push_back(resolved);
    const auto kind = kinds.find(resolved);
    return kind == kinds.end() ? FileKind::kMissing : kind->second;
  }
  bool PrivateToUser(const std::string& resolved) override {
    return privateFiles.count(resolved) != 0;
  }
  ImageReport ReportImage(const std::string& resolved, const std::string& /*format*/,
                          std::string* report) override {
    if (!toolPresent) return ImageReport::kNoTool;
    const auto found = reports.find(resolved);
    if (found == reports.end()) return ImageReport::kFailed;
    *report = found->second;
    return ImageReport::kRead;
  }
  bool ReadImageStart(const std::string& resolved, std::string* bytes) override {
    const auto found = starts.find(resolved);
    *bytes = found == starts.end() ? std::string() : found->second;
    return kinds.count(resolved) != 0;
  }
  bool ReadDescriptor(const std::string& resolved, std::string* text) override {
    const auto found = descriptors.find(resolved);
    if (found == descriptors.end()) return false;
    *text = found->second;
    return true;
  }
};

constexpr char kVmx[] = "/home/u/vm/m.vmx";

QemuInvocation Map(const std::string& text) {
  QemuHostFacts host;
  host.vmxDirectory = "/home/u/vm/";
  return MapVmxToQemu(ParseVmxText(text), host);
}

std::string Disk(const std::string& place, const std::string& file) {
  return place + ".present = \"TRUE\"\n" + place + ".fileName = \"" + file + "\"\n";
}

std::string Cd(const std::string& place, const std::string& file) {
  return Disk(place, file) + place + ".deviceType = \"cdrom-image\"\n";
}

std::string Serial(const std::string& file) {
  return "serial0.present = \"TRUE\"\nserial0.fileType = \"file\"\nserial0.fileName = \"" + file +
         "\"\n";
}

std::vector<std::string> Outside(const MachineFilePlan& plan) {
  std::vector<std::string> outside;
  for (const PlacedFile& file : plan.files) {
    if (file.outside) outside.push_back(file.resolved);
  }
  return outside;
}

class MachineFilePlanTest : public ::testing::Test {
 protected:
  MachineFilePlanTest() {
    files.kinds[kVmx] = FileKind::kRegular;
    files.kinds["/home/u/vm/disk.img"] = FileKind::kRegular;
    files.kinds["/home/u/vm/cd.iso"] = FileKind::kRegular;
    files.kinds["/home/u/.bashrc"] = FileKind::kRegular;
    files.kinds["/home/u/.ssh/id_ed25519"] = FileKind::kRegular;
  }
  MachineFilePlan Plan(const std::string& text, const std::string& vmx = kVmx) {
    invocation = Map(text);
    EXPECT_EQ(invocation.error, "");
    return PlanMachineFiles(invocation, vmx, "/tmp/", '/', files);
  }
  ScriptedFiles files;
  QemuInvocation invocation;
};

TEST_F(MachineFilePlanTest, FilesInTheFolderAreTheMachinesOwnAndTheRestIsAsked) {
  files.links["/home/u/vm/../.bashrc"] = "/home/u/.bashrc";
  files.links["/home/u/vm/log.txt"] = "/home/u/.bash_logout";  // a link out
  files.kinds["/home/u/.bash_logout"] = FileKind::kRegular;
  const MachineFilePlan plan = Plan(Disk("ide0:0", "disk.img") + Disk("ide0:1", "../.bashrc") +
                                    Cd("ide1:0", "/home/u/.ssh/id_ed25519") + Serial("log.txt"));
  ASSERT_EQ(plan.refusal, "");
  EXPECT_TRUE(plan.AsksUser());
  EXPECT_EQ(Outside(plan), (std::vector<std::string>{"/home/u/.bashrc", "/home/u/.ssh/id_ed25519",
                                                     "/home/u/.bash_logout"}));
  ASSERT_EQ(plan.files.size(), 4u);
  EXPECT_EQ(plan.files[1].use.access, FileAccess::kWrite);
  EXPECT_EQ(plan.files[2].use.access, FileAccess::kRead);

  // A missing serial output in the folder is created there: nothing to ask.
  const MachineFilePlan own = Plan(Disk("ide0:0", "disk.img") + Serial("new.log"));
  EXPECT_EQ(own.refusal, "");
  EXPECT_FALSE(own.AsksUser());
}

TEST_F(MachineFilePlanTest, ALaunchersRunMayUseAnyFileOnlyWhenItsFolderIsPrivate) {
  const std::string run = "/tmp/trennwick_temp_1/trennwick.vmx";
  files.kinds[run] = FileKind::kRegular;
  const std::string text = Cd("ide1:0", "/home/u/.ssh/id_ed25519");
  files.privateFiles = {run, "/tmp/trennwick_temp_1"};
  EXPECT_FALSE(Plan(text, run).AsksUser());
  files.privateFiles = {run};  // the folder is someone else's or writable by others
  EXPECT_TRUE(Plan(text, run).AsksUser());
  files.privateFiles = {"/tmp/trennwick_temp_1"};
  EXPECT_TRUE(Plan(text, run).AsksUser());
  // A link to a run's file is judged where it leads, not by its own name.
  files.links["/home/u/trennwick.vmx"] = run;
  files.privateFiles = {run, "/tmp/trennwick_temp_1"};
  EXPECT_FALSE(Plan(text, "/home/u/trennwick.vmx").AsksUser());
}

TEST_F(MachineFilePlanTest, RefusesNetworkAndDevicePathsWithoutAQuestion) {
  for (const std::string bad :
       {"//server/share/x.img", "/dev/fd/3", "/proc/self/fd/0", "/dev/sda", "/dev/sr0"}) {
    files.looked.clear();
    const MachineFilePlan plan = Plan(Disk("ide0:0", bad));
    EXPECT_NE(plan.refusal, "") << bad;
    EXPECT_TRUE(plan.files.empty()) << bad;
    // Refused by its name alone: the file system is never asked about it.
    for (const std::string& name : files.looked) EXPECT_NE(name, "/home/u/vm/" + bad) << bad;
    for (const std::string& name : files.looked) EXPECT_NE(name, bad) << bad;
  }
  // A CD drive is a CD's to read.
  files.kinds["/dev/sr0"] = FileKind::kBlockDevice;
  EXPECT_EQ(Plan(Cd("ide1:0", "/dev/sr0")).refusal, "");
  // A name that leads into a device or process folder is refused where it leads.
  files.links["/home/u/vm/fd.img"] = "/proc/self/fd/3";
  EXPECT_NE(Plan(Disk("ide0:0", "fd.img")).refusal.find("Ger\xE4te"), std::string::npos);
}

TEST_F(MachineFilePlanTest, DisksAndSerialOutputsMustBeRegularFiles) {
  files.kinds["/home/u/vm/fifo"] = FileKind::kOther;
  files.kinds["/home/u/vm/folder"] = FileKind::kDirectory;
  EXPECT_NE(Plan(Disk("ide0:0", "fifo")).refusal, "");
  EXPECT_NE(Plan(Disk("ide0:0", "disk.img") + Serial("fifo")).refusal, "");
  EXPECT_NE(Plan(Disk("ide0:0", "disk.img") + Serial("folder")).refusal, "");
  EXPECT_NE(Plan(Cd("ide1:0", "folder")).refusal, "");
  const MachineFilePlan missing = Plan(Disk("ide0:0", "gone.img"));
  EXPECT_NE(missing.refusal.find("nicht gefunden"), std::string::npos);
  EXPECT_EQ(missing.refusedPath, "/home/u/vm/gone.img");
}

const char kQcow2WithBacking[] = R"([
  {"backing-filename-format": "qcow2", "virtual-size": 1048576, "filename": "/home/u/vm/top.qcow2",
   "format": "qcow2", "full-backing-filename": "BACKING", "backing-filename": "BACKING"},
  {"virtual-size": 1048576, "filename": "BACKING", "format": "qcow2"}
])";

std::string WithBacking(const std::string& backing) {
  std::string report = kQcow2WithBacking;
  for (std::size_t at; (at = report.find("BACKING")) != std::string::npos;) {
    report.replace(at, 7, backing);
  }
  return report;
}

TEST_F(MachineFilePlanTest, WhatAnImageNamesMayLieOnlyInTheMachinesFolder) {
  files.kinds["/home/u/vm/top.qcow2"] = FileKind::kRegular;
  files.kinds["/home/u/vm/base.qcow2"] = FileKind::kRegular;
  files.reports["/home/u/vm/top.qcow2"] = WithBacking("/home/u/.ssh/id_ed25519");
  const MachineFilePlan outside = Plan(Disk("ide0:0", "top.qcow2"));
  EXPECT_NE(outside.refusal.find("au\xDF"), std::string::npos);
  EXPECT_EQ(outside.refusedPath, "/home/u/.ssh/id_ed25519");

  files.reports["/home/u/vm/top.qcow2"] = WithBacking("/home/u/vm/base.qcow2");
  const MachineFilePlan inside = Plan(Disk("ide0:0", "top.qcow2"));
  ASSERT_EQ(inside.refusal, "");
  ASSERT_EQ(inside.files.size(), 2u);
  EXPECT_EQ(inside.files[1].use.kind, FileUseKind::kImagePart);
  EXPECT_EQ(inside.files[1].use.access, FileAccess::kRead);

  files.reports["/home/u/vm/top.qcow2"] = WithBacking("//server/share/b.qcow2");
  EXPECT_NE(Plan(Disk("ide0:0", "top.qcow2")).refusal.find("Netzwerk"), std::string::npos);

  // A name in the image's header is placed before qemu-img ever opens it.
  files.starts["/home/u/vm/top.qcow2"] = "# Disk DescriptorFile\nRW 8 FLAT \"//server/x\" 0\n";
  files.toolPresent = false;  // qemu-img is never asked
  files.kinds["/home/u/vm/top.vmdk"] = FileKind::kRegular;
  files.starts["/home/u/vm/top.vmdk"] = files.starts["/home/u/vm/top.qcow2"];
  const MachineFilePlan early = Plan(Disk("ide0:0", "top.vmdk"));
  EXPECT_NE(early.refusal.find("Netzwerk"), std::string::npos) << early.refusal;
  files.starts.clear();
  files.toolPresent = true;

  files.reports.clear();  // qemu-img fails on it
  EXPECT_NE(Plan(Disk("ide0:0", "top.qcow2")).refusal, "");
  files.toolPresent = false;
  EXPECT_NE(Plan(Disk("ide0:0", "top.qcow2")).refusal.find("qemu-utils"), std::string::npos);
  // A raw disk needs no qemu-img.
  EXPECT_EQ(Plan(Disk("ide0:0", "disk.img")).refusal, "");
}

TEST_F(MachineFilePlanTest, AFlatVmdkBecomesItsExtentAsARawDisk) {
  files.kinds["/home/u/vm/d.vmdk"] = FileKind::kRegular;
  files.kinds["/home/u/victim.bin"] = FileKind::kRegular;
  files.reports["/home/u/vm/d.vmdk"] =
      R"([{"filename": "/home/u/vm/d.vmdk", "format": "vmdk", "format-specific": {"type": "vmdk",
          "data": {"create-type": "monolithicFlat", "extents": [{"filename": "/home/u/victim.bin",
          "format": "FLAT"}]}}}])";
  files.descriptors["/home/u/vm/d.vmdk"] =
      "# Disk DescriptorFile\nversion=1\ncreateType=\"monolithicFlat\"\n"
      "RW 2048 FLAT \"../victim.bin\" 8\n";
  files.links["/home/u/vm/../victim.bin"] = "/home/u/victim.bin";
  const MachineFilePlan plan = Plan(Disk("ide0:0", "d.vmdk"));
  ASSERT_EQ(plan.refusal, "");
  ASSERT_EQ(plan.files.size(), 1u);
  EXPECT_EQ(Outside(plan), std::vector<std::string>{"/home/u/victim.bin"});
  EXPECT_EQ(plan.files[0].use.access, FileAccess::kWrite);
  EXPECT_EQ(plan.files[0].driveOptions, "format=raw,offset=4096,size=1048576");
  const Arguments arguments = PlannedArguments(invocation, plan, {});
  EXPECT_EQ(arguments[plan.files[0].use.argument],
            "file=/home/u/vm/../victim.bin,if=none,id=drive0,format=raw,offset=4096,size=1048576");
  // A descriptor that is not what qemu-img saw is not guessed at.
  files.descriptors["/home/u/vm/d.vmdk"] = "RW 2048 SPARSE \"x.vmdk\"\n";
  EXPECT_NE(Plan(Disk("ide0:0", "d.vmdk")).refusal, "");
}

TEST(MachineFileHandOver, NamesEachHandedFileByItsDescriptorSet) {
  QemuHostFacts host;
  host.vmxDirectory = "/v,m/";
  host.firmwareCode = "/usr/share/OVMF/OVMF_CODE_4M.fd";
  host.firmwareVariables = "/v,m/m-efivars.fd";
  const QemuInvocation invocation =
      MapVmxToQemu(ParseVmxText("firmware = \"efi\"\n" + Disk("ide0:0", "a,b.img") +
                                Cd("ide1:0", "c.iso") + Serial("s.log")),
                   host);
  ASSERT_EQ(invocation.error, "");
  MachineFilePlan plan;
  for (std::size_t i = 0; i < invocation.uses.size(); ++i) {
    plan.files.push_back({invocation.uses[i], invocation.uses[i].path, false, i, ""});
  }
  ASSERT_EQ(plan.files.size(), 4u);
  const Arguments arguments =
      PlannedArguments(invocation, plan, {{0, {9, 10}}, {1, {11, 12}}, {2, {13}}, {3, {14}}});
  const Arguments front(arguments.begin(), arguments.begin() + 12);
  EXPECT_EQ(front, (Arguments{"-add-fd", "fd=9,set=1", "-add-fd", "fd=10,set=1", "-add-fd",
                              "fd=11,set=2", "-add-fd", "fd=12,set=2", "-add-fd", "fd=13,set=3",
                              "-add-fd", "fd=14,set=4"}));
  const Arguments rest(arguments.begin() + 12, arguments.end());
  ASSERT_EQ(rest.size(), invocation.arguments.size());
  std::vector<std::string> named;
  for (const std::string& argument : rest) {
    if (argument.find("/v,") != std::string::npos) named.push_back(argument);
  }
  EXPECT_TRUE(named.empty()) << named[0];
  EXPECT_EQ(rest[invocation.uses[0].argument], "if=pflash,unit=1,format=raw,file=/dev/fdset/1");
  EXPECT_EQ(rest[invocation.uses[1].argument], "file=/dev/fdset/2,if=none,id=drive0,format=raw");
  EXPECT_EQ(rest[invocation.uses[2].argument],
            "file=/dev/fdset/3,if=none,id=drive1,media=cdrom,readonly=on,format=raw");
  EXPECT_EQ(rest[invocation.uses[3].argument], "file,id=serial0,path=/dev/fdset/4,append=on");
  // The code of the firmware is the system's and keeps its name.
  EXPECT_EQ(rest[invocation.uses[0].argument - 2],
            "if=pflash,unit=0,format=raw,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd");

  // Without descriptors (Windows) every name stays.
  EXPECT_EQ(PlannedArguments(invocation, plan, {}), invocation.arguments);
}

}  // namespace
