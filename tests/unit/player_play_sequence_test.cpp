#include "player/play_sequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/shown_text.h"
#include "platform/system.h"
#include "player/appliance.h"
#include "player/host/machine_lock.h"
#include "player/host/machine_lock_system.h"
#include "player/qemu_command.h"
#include "player/vmx_config.h"
#include "player_test_support.h"
#include "scripted_machine_files.h"
#include "tar_builder.h"
#include "test_directory.h"

namespace {

namespace fs = std::filesystem;
using namespace player_test;

constexpr char kSep = system_facts::kPathSeparator;
constexpr char kQemu[] = "/usr/bin/qemu-system-x86_64";
constexpr std::int32_t kAnswerYes = 6;
constexpr std::int32_t kAnswerNo = 7;
constexpr std::int32_t kBoxClosed = 2;

struct ShownBox {
  std::string title;
  std::string text;
  std::uint32_t flags;
};

struct QemuRun {
  std::string program;
  Arguments arguments;
  std::vector<int> keepOpen;
  bool lockHeld;  // the machine's lock lay beside the .vmx while QEMU ran
};

// The player's services in tables: the host it sees, the user's answers,
// the machine's files, and QEMU's runs, each recorded.
class ScriptedPlayer : public PlayerServices {
 public:
  explicit ScriptedPlayer(std::string vmx) : handOver(files), vmx_(std::move(vmx)) {
    look.qemu = kQemu;
    look.ownDirectory = std::string("/opt/trennwick") + kSep;
    look.qemuAdvice = "Bitte QEMU installieren.";
    look.uefiAdvice = "Bitte das Paket \"ovmf\" installieren.";
    look.titleDash = " - ";
    look.separator = kSep;
    look.temporaryRoot = std::string("/no-tmp") + kSep;
    look.memoryMegabytes = 16384;
    look.processors = 8;
  }

  bool DisplayPresent() override { return true; }
  std::int32_t ShowMessage(const std::string& title, const std::string& text,
                           std::uint32_t flags) override {
    boxes.push_back({title, text, flags});
    if (answers.empty()) return 1;
    const std::int32_t answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void WriteToStandardError(const std::string& text) override { errorOutput += text; }
  HostLook LookAtHost() override {
    ++looks;
    return look;
  }
  UefiFirmware FindUefiFirmware(bool secureBoot, const std::string& qemu) override {
    firmwareAsked.push_back(secureBoot);
    EXPECT_EQ(qemu, look.qemu);
    return firmware;
  }
  PrivateCopyResult MakePrivateCopy(const std::string& source, const std::string& target) override {
    copies.push_back({source, target});
    return copyResult;
  }
  MachineFileHost& MachineFiles() override { return files; }
  HandOverHost& HandOver() override { return handOver; }
  ImageFolder& PlayerImages() override { return imageFolder; }
  bool RunProgramToEnd(const std::string& program, const Arguments& arguments,
                       const std::vector<int>& keepOpen, ProgramEnd* end) override {
    runs.push_back({program, arguments, keepOpen, fs::exists(MachineLockPath(vmx_))});
    if (!qemuStarts) return false;
    if (!ends.empty()) {
      *end = ends.front();
      ends.pop_front();
    }
    return true;
  }

  // The one box shown, or an empty one (with a failure) when there were
  // none or several.
  ShownBox OnlyBox() const {
    EXPECT_EQ(boxes.size(), 1u) << errorOutput;
    return boxes.empty() ? ShownBox{} : boxes.back();
  }

  HostLook look;
  ScriptedFiles files;
  ScriptedHandOver handOver;
  ScriptedImageFolder imageFolder;
  UefiFirmware firmware;
  PrivateCopyResult copyResult = PrivateCopyResult::kMade;
  bool qemuStarts = true;
  std::deque<ProgramEnd> ends;  // QEMU's ends in turn; then a clean one
  std::deque<std::int32_t> answers;

  int looks = 0;
  std::vector<ShownBox> boxes;
  std::string errorOutput;
  std::vector<bool> firmwareAsked;
  std::vector<std::pair<std::string, std::string>> copies;
  std::vector<QemuRun> runs;

 private:
  std::string vmx_;
};

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A CD of 24 sectors with a primary volume descriptor and an El Torito
// catalog of one bootable entry for `platform` (0x00 BIOS, 0xEF UEFI).
std::string BootCd(int platform, const std::string& volumeId, const std::string& publisher) {
  constexpr std::size_t kSector = 2048;
  std::string cd(24 * kSector, '\0');
  auto put = [&cd](std::size_t at, const std::string& bytes) {
    cd.replace(at, bytes.size(), bytes);
  };
  put(16 * kSector, std::string("\x01"
                                "CD001\x01",
                                7));
  put(16 * kSector + 40, volumeId + std::string(32 - volumeId.size(), ' '));
  put(16 * kSector + 318, publisher + std::string(128 - publisher.size(), ' '));
  put(17 * kSector, std::string("\0CD001\x01"
                                "EL TORITO SPECIFICATION",
                                30));
  put(17 * kSector + 0x47, std::string("\x12\0\0\0", 4));  // the catalog at sector 18
  std::string validation(32, '\0');
  validation[0] = 0x01;
  validation[1] = static_cast<char>(platform);
  validation[30] = 0x55;
  validation[31] = static_cast<char>(0xAA);
  std::uint16_t sum = 0;
  for (std::size_t at = 0; at < 32; at += 2) {
    sum = static_cast<std::uint16_t>(sum + (static_cast<unsigned char>(validation[at]) |
                                            static_cast<unsigned char>(validation[at + 1]) << 8));
  }
  const std::uint16_t checksum = static_cast<std::uint16_t>(0x10000 - sum);
  validation[28] = static_cast<char>(checksum & 0xFF);
  validation[29] = static_cast<char>(checksum >> 8);
  std::string entry(32, '\0');
  entry[0] = static_cast<char>(0x88);  // bootable
  entry[6] = 4;                        // sectors to load
  entry[8] = 20;                       // from sector 20
  put(18 * kSector, validation + entry);
  return cd;
}

class PlaySequence : public ::testing::Test {
 protected:
  PlaySequence() : vmx(directory.Name("m.vmx")), player(vmx) {
    player.files.Put(directory.Name("cd.iso"));
  }

  // A .vmx in its own folder that boots cd.iso beside it, plus `more`.
  int Play(const std::string& more = "", bool madeByPlayer = false) {
    WriteBytes(vmx, CdLines("ide1:0", "cd.iso") + more);
    return PlayMachine({vmx, madeByPlayer}, player);
  }

  TestDirectory directory;
  std::string vmx;
  ScriptedPlayer player;
};

TEST_F(PlaySequence, RunsQemuOnTheHandedFilesUnderTheLockAndEndsWithIt) {
  EXPECT_EQ(Play("displayName = \"Test\"\n"), 0);
  EXPECT_TRUE(player.boxes.empty()) << player.errorOutput;
  ASSERT_EQ(player.runs.size(), 1u);
  const QemuRun& run = player.runs[0];
  EXPECT_EQ(run.program, kQemu);
  EXPECT_TRUE(run.lockHeld);
  // The CD goes as the descriptor the player opened from the file it checked.
  EXPECT_EQ(run.keepOpen, std::vector<int>{30});
  ASSERT_GE(run.arguments.size(), 2u);
  EXPECT_EQ(Arguments(run.arguments.begin(), run.arguments.begin() + 2),
            (Arguments{"-add-fd", "fd=30,set=1"}));
  EXPECT_TRUE(Contains(run.arguments,
                       "driver=file,node-name=drive0-file,filename=/dev/fdset/1,read-only=on"));
  EXPECT_EQ(ValueOf(run.arguments, "-name"), "guest=Test - cd.iso - Software-Emulation");
  for (const std::string& argument : run.arguments) {
    EXPECT_FALSE(Has(argument, directory.path().string())) << argument;
  }
  ASSERT_EQ(player.handOver.openings.size(), 1u);
  EXPECT_TRUE(player.handOver.openings[0].held);
  // The lock is gone with QEMU.
  EXPECT_FALSE(fs::exists(MachineLockPath(vmx)));
}

TEST_F(PlaySequence, PassesQemusExitCodeOnAndSaysHowItEnded) {
  ProgramEnd failed;
  failed.exitCode = 3;
  failed.seconds = 60;
  failed.errorTail = "qemu: could not open disk";
  player.ends.push_back(failed);
  EXPECT_EQ(Play(), 3);
  const ShownBox box = player.OnlyBox();
  EXPECT_EQ(box.title, ShownText(kErrorTitle));
  EXPECT_TRUE(Has(box.text, "mit dem Code 3")) << box.text;
  EXPECT_TRUE(Has(box.text, "qemu: could not open disk")) << box.text;
  EXPECT_FALSE(fs::exists(MachineLockPath(vmx)));

  ScriptedPlayer killed(vmx);
  killed.files.Put(directory.Name("cd.iso"));
  ProgramEnd signal;
  signal.exitCode = 128 + 9;
  signal.signal = 9;
  signal.seconds = 60;
  killed.ends.push_back(signal);
  EXPECT_EQ(PlayMachine({vmx, false}, killed), 137);
  EXPECT_TRUE(Has(killed.OnlyBox().text, "SIGKILL")) << killed.OnlyBox().text;
}

TEST_F(PlaySequence, RefusesAConfigurationItCannotRead) {
  EXPECT_EQ(PlayMachine({directory.Name("missing.vmx"), false}, player), kExitConfiguration);
  EXPECT_TRUE(Has(player.OnlyBox().text, "Kann die Konfiguration nicht lesen"))
      << player.errorOutput;

  for (const std::string& text : {std::string(), std::string("# nothing but a comment\n"),
                                  std::string(kMaximumVmxBytes + 1, '#')}) {
    ScriptedPlayer refused(vmx);
    WriteBytes(vmx, text);
    EXPECT_EQ(PlayMachine({vmx, false}, refused), kExitConfiguration);
    const std::string shown = refused.OnlyBox().text;
    EXPECT_TRUE(Has(shown, text.size() > kMaximumVmxBytes ? "1 MiB" : "leer")) << shown;
    EXPECT_TRUE(refused.runs.empty());
  }
  ScriptedPlayer folder(vmx);
  EXPECT_EQ(PlayMachine({directory.path().string(), false}, folder), kExitConfiguration);
  // Windows does not open a folder as a file at all.
  const std::string notAFile = folder.OnlyBox().text;
  EXPECT_TRUE(Has(notAFile, ShownText("keine gew\xF6hnliche Datei")) ||
              Has(notAFile, "nicht lesen"))
      << notAFile;
  // The host is not looked at for a .vmx that is refused.
  EXPECT_EQ(player.looks + folder.looks, 0);
}

TEST_F(PlaySequence, RefusesAnUnknownAcceleratorAndAMissingQemu) {
  player.look.acceleratorOverride = "hvf";
  EXPECT_EQ(Play(), kExitUsage);
  EXPECT_TRUE(Has(player.OnlyBox().text, "'hvf'")) << player.OnlyBox().text;
  EXPECT_TRUE(player.runs.empty());

  ScriptedPlayer noQemu(vmx);
  noQemu.look.qemu.clear();
  const std::string installed = std::string("C:") + kSep + "Program Files" + kSep + "qemu" + kSep;
  noQemu.look.qemuInstallDirectories = {installed};
  EXPECT_EQ(PlayMachine({vmx, false}, noQemu), kExitNoQemu);
  const std::string shown = noQemu.OnlyBox().text;
  EXPECT_TRUE(Has(shown, "qemu-system-x86_64")) << shown;
  EXPECT_TRUE(Has(shown, noQemu.look.ownDirectory)) << shown;
  EXPECT_TRUE(Has(shown, installed)) << shown;
  EXPECT_TRUE(Has(shown, "PATH")) << shown;
  EXPECT_TRUE(Has(shown, "Bitte QEMU installieren.")) << shown;
  EXPECT_FALSE(fs::exists(MachineLockPath(vmx)));
}

TEST_F(PlaySequence, RefusesAPlanThatMayNotStartAndStartsNothing) {
  WriteBytes(vmx, CdLines("ide1:0", std::string(2, kSep) + "server" + kSep + "x.iso"));
  EXPECT_EQ(PlayMachine({vmx, false}, player), kExitConfiguration);
  const std::string shown = player.OnlyBox().text;
  EXPECT_TRUE(Has(shown, "Netzwerkpfad")) << shown;
  EXPECT_TRUE(Has(shown, "Nichts gestartet.")) << shown;
  EXPECT_TRUE(player.runs.empty());
  EXPECT_FALSE(fs::exists(MachineLockPath(vmx)));
  // A configuration the description refuses names itself.
  ScriptedPlayer noMedium(vmx);
  WriteBytes(vmx, "memsize = \"512\"\n");
  EXPECT_EQ(PlayMachine({vmx, false}, noMedium), kExitConfiguration);
  EXPECT_TRUE(Has(noMedium.OnlyBox().text, "kein Startmedium"));
  EXPECT_TRUE(Has(noMedium.OnlyBox().text, vmx));
}

TEST_F(PlaySequence, AsksAboutFilesOutsideItsFolderAndStartsOnlyOnYes) {
  const std::string outside = std::string(1, kSep) + "elsewhere" + kSep + "cd.iso";
  player.files.Put(outside);
  for (std::int32_t answer : {kAnswerNo, kBoxClosed}) {
    ScriptedPlayer asked(vmx);
    asked.files.Put(outside);
    asked.answers = {answer};
    WriteBytes(vmx, CdLines("ide1:0", outside));
    EXPECT_EQ(PlayMachine({vmx, false}, asked), 0);
    const ShownBox box = asked.OnlyBox();
    EXPECT_EQ(box.flags, 0x124u);  // Yes/No, a question, No the default
    EXPECT_TRUE(Has(box.text, "liest: " + outside)) << box.text;
    EXPECT_TRUE(asked.runs.empty());
    // Not even read before the answer.
    EXPECT_FALSE(asked.files.WasHeld(outside));
    EXPECT_FALSE(fs::exists(MachineLockPath(vmx)));
  }
  player.answers = {kAnswerYes};
  WriteBytes(vmx, CdLines("ide1:0", outside));
  EXPECT_EQ(PlayMachine({vmx, false}, player), 0);
  EXPECT_EQ(player.boxes.size(), 1u);
  EXPECT_EQ(player.runs.size(), 1u);
}

TEST_F(PlaySequence, AsksNothingInTheLaunchersOwnRun) {
  const std::string outside = std::string(1, kSep) + "elsewhere" + kSep + "cd.iso";
  player.files.Put(outside);
  const fs::path runFolder = directory.path() / "trennwick_temp_1";
  fs::create_directory(runFolder);
  const std::string run = (runFolder / "trennwick.vmx").string();
  WriteBytes(run, CdLines("ide1:0", outside));
  player.look.temporaryRoot = directory.path().string() + kSep;
  player.look.launcherIsParent = true;
  player.files.privateFiles.insert(runFolder.string());
  EXPECT_EQ(PlayMachine({run, false}, player), 0);
  EXPECT_TRUE(player.boxes.empty());
  EXPECT_EQ(player.runs.size(), 1u);

  // Not started by the launcher, or in a folder others reach: asked.
  player.look.launcherIsParent = false;
  EXPECT_EQ(PlayMachine({run, false}, player), 0);
  EXPECT_EQ(player.boxes.size(), 1u);
  player.look.launcherIsParent = true;
  player.files.privateFiles.clear();
  EXPECT_EQ(PlayMachine({run, false}, player), 0);
  EXPECT_EQ(player.boxes.size(), 2u);
  // A machine the player made itself asks nothing.
  EXPECT_EQ(PlayMachine({run, true}, player), 0);
  EXPECT_EQ(player.boxes.size(), 2u);
  EXPECT_EQ(player.runs.size(), 2u);
}

TEST_F(PlaySequence, StartsNothingWhileTheMachineRuns) {
  fs::create_directory(MachineLockPath(vmx));
  const std::uint32_t self = machineLockSystem.currentProcess();
  WriteBytes(fs::path(MachineLockPath(vmx)) / kMachineLockOwnerFile, OwnerRecord(self));
  EXPECT_EQ(Play(), kExitMachineLocked);
  const std::string shown = player.OnlyBox().text;
  EXPECT_TRUE(Has(shown, "Prozess " + std::to_string(self))) << shown;
  EXPECT_TRUE(player.runs.empty());
  // The running machine's lock stays.
  EXPECT_TRUE(fs::exists(fs::path(MachineLockPath(vmx)) / kMachineLockOwnerFile));
}

TEST_F(PlaySequence, GivesAUefiMachineItsOwnVariableStore) {
  player.firmware = {"/usr/share/OVMF/OVMF_CODE_4M.fd", "/usr/share/OVMF/OVMF_VARS_4M.fd"};
  EXPECT_EQ(Play("firmware = \"efi\"\n"), 0);
  EXPECT_EQ(player.firmwareAsked, std::vector<bool>{false});
  const std::string store = directory.Name("m-efivars.fd");
  ASSERT_EQ(player.copies.size(), 1u);
  EXPECT_EQ(player.copies[0],
            (std::pair<std::string, std::string>{"/usr/share/OVMF/OVMF_VARS_4M.fd", store}));
  ASSERT_EQ(player.runs.size(), 1u);
  EXPECT_TRUE(
      Contains(player.runs[0].arguments,
               "if=pflash,unit=0,format=raw,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd"));
  EXPECT_TRUE(Contains(player.runs[0].arguments, "if=pflash,unit=1,format=raw,file=/dev/fdset/2"));
  ASSERT_EQ(player.handOver.openings.size(), 2u);
  EXPECT_EQ(player.handOver.openings[1].name, store);
  EXPECT_EQ(player.handOver.openings[1].mode, HandOverMode::kReadWrite);
}

// The store is the player's own file: a .vmx that names it as its CD is
// refused, not run with one file both read as a CD and written.
TEST_F(PlaySequence, RefusesAUefiStoreThatIsAlsoTheMachinesCd) {
  player.firmware = {"/usr/share/OVMF/OVMF_CODE_4M.fd", "/usr/share/OVMF/OVMF_VARS_4M.fd"};
  player.files.Put(directory.Name("m-efivars.fd"));
  WriteBytes(vmx, CdLines("ide1:0", "m-efivars.fd") + "firmware = \"efi\"\n");
  EXPECT_EQ(PlayMachine({vmx, false}, player), kExitConfiguration);
  const std::string shown = player.OnlyBox().text;
  EXPECT_TRUE(Has(shown, "m-efivars.fd") && Has(shown, "Nichts gestartet.")) << shown;
  EXPECT_TRUE(player.handOver.openings.empty());
  EXPECT_TRUE(player.runs.empty());
}

// An appliance's machine comes read already: no .vmx is read (there is
// none), and its lock and variable store lie in its run folder.
TEST_F(PlaySequence, PlaysAnAppliancesMachineFromItsRunFolder) {
  player.firmware = {"/usr/share/OVMF/OVMF_CODE_4M.fd", "/usr/share/OVMF/OVMF_VARS_4M.fd"};
  VmxConfig settings = ParseVmxText(CdLines("ide1:0", "cd.iso") + "firmware = \"efi\"\n");
  const MachineDescription machine = DescribeMachine(settings, directory.Name(""), kSep);
  PlayRequest request;
  request.vmxFile = directory.Name("trennwick.vmx");
  request.madeByPlayer = true;
  request.appliance = &machine;
  ScriptedPlayer appliance(request.vmxFile);
  appliance.firmware = player.firmware;
  appliance.files.Put(directory.Name("cd.iso"));
  EXPECT_EQ(PlayMachine(request, appliance), 0);
  EXPECT_TRUE(appliance.boxes.empty()) << appliance.errorOutput;
  EXPECT_FALSE(fs::exists(request.vmxFile));
  ASSERT_EQ(appliance.runs.size(), 1u);
  EXPECT_TRUE(appliance.runs[0].lockHeld);
  ASSERT_EQ(appliance.copies.size(), 1u);
  EXPECT_EQ(appliance.copies[0].second, directory.Name("trennwick-efivars.fd"));
}

// An .ova's disk and CD reach QEMU as their parts of the .ova, which is
// handed over only for reading; the guest writes into the overlay.
TEST_F(PlaySequence, GivesQemuAnOvasDiskAndCdWhereTheyLieInside) {
  const std::string envelope =
      "<Envelope xmlns='http://schemas.dmtf.org/ovf/envelope/1' "
      "xmlns:ovf='http://schemas.dmtf.org/ovf/envelope/1' xmlns:rasd='urn:rasd'>"
      "<References><File ovf:id='f1' ovf:href='disk.img'/><File ovf:id='f2' "
      "ovf:href='cd.iso'/></References><DiskSection><Disk ovf:diskId='d1' ovf:fileRef='f1'/>"
      "</DiskSection><VirtualSystem ovf:id='a'><VirtualHardwareSection>"
      "<Item><rasd:InstanceID>1</rasd:InstanceID><rasd:ResourceType>5</rasd:ResourceType></Item>"
      "<Item><rasd:InstanceID>2</rasd:InstanceID><rasd:Parent>1</rasd:Parent>"
      "<rasd:HostResource>ovf:/disk/d1</rasd:HostResource><rasd:ResourceType>17</rasd:ResourceType>"
      "</Item><Item><rasd:InstanceID>3</rasd:InstanceID><rasd:Parent>1</rasd:Parent>"
      "<rasd:HostResource>ovf:/file/f2</rasd:HostResource><rasd:ResourceType>15</rasd:ResourceType>"
      "</Item></VirtualHardwareSection></VirtualSystem></Envelope>";
  player_test::Archive archive;
  archive.Member("a.ovf", envelope)
      .Member("disk.img", std::string(4096, 'd'))
      .Member("cd.iso", BootCd(0x00, "APPLIANCE", "X"))
      .End();
  const std::string ova = directory.Name("a.ova");
  PlayRequest request;
  request.vmxFile = directory.Name("trennwick.vmx");
  request.madeByPlayer = true;
  ScriptedPlayer appliance(request.vmxFile);
  appliance.files.Put(ova, archive.bytes());
  const ApplianceMachine read =
      ReadAppliance(ova, OpenedKind::kApplianceArchive, appliance.files, kSep);
  ASSERT_EQ(read.error, "");
  request.appliance = &read.machine;
  EXPECT_EQ(PlayMachine(request, appliance), 0);
  EXPECT_TRUE(appliance.boxes.empty()) << appliance.errorOutput;
  ASSERT_EQ(appliance.runs.size(), 1u);
  const Arguments& arguments = appliance.runs[0].arguments;
  // Member offsets: the disk after the envelope's header and data, the CD
  // after the disk's.
  const std::size_t diskAt = 512 + (envelope.size() + 511) / 512 * 512 + 512;
  const std::size_t cdAt = diskAt + 4096 + 512;
  EXPECT_TRUE(std::any_of(arguments.begin(), arguments.end(), [&](const std::string& argument) {
    return Has(argument, "driver=raw,") &&
           Has(argument, ",offset=" + std::to_string(diskAt) + ",size=4096,read-only=on");
  })) << testing::PrintToString(arguments);
  EXPECT_TRUE(std::any_of(arguments.begin(), arguments.end(), [&](const std::string& argument) {
    return Has(argument, ",offset=" + std::to_string(cdAt) + ",size=");
  })) << testing::PrintToString(arguments);
  EXPECT_TRUE(Has(ValueOf(arguments, "-name"), ShownText("\xC4nderungen werden verworfen")));
  // The CD's catalog was read inside the .ova: it boots under BIOS.
  EXPECT_FALSE(Contains(arguments, "if=pflash,unit=0,format=raw,readonly=on,file="));
  for (const ScriptedHandOver::Opening& opening : appliance.handOver.openings) {
    if (opening.name == ova) {
      EXPECT_EQ(opening.mode, HandOverMode::kRead);
    }
  }
}

// A disk beside an .ovf whose descriptor names one of the user's files as
// its extent: nothing starts, and the file is never opened.
TEST_F(PlaySequence, RefusesAnAppliancesDiskThatNamesAnotherFile) {
  const std::string secret = directory.Name("id_rsa");
  PlayRequest request;
  request.vmxFile = directory.Name("trennwick.vmx");
  request.madeByPlayer = true;
  ScriptedPlayer appliance(request.vmxFile);
  appliance.files.Put(directory.Name("disk.vmdk"), FlatVmdkDescriptor(secret, 8, 0));
  appliance.files.Put(secret, std::string(4096, 'k'));
  MachineDescription machine =
      DescribeMachine(ParseVmxText("sata0.present = \"TRUE\"\nsata0:0.present = \"TRUE\"\n"
                                   "sata0:0.fileName = \"disk.vmdk\"\n"),
                      directory.Name(""), kSep);
  ASSERT_EQ(machine.uses.size(), 1u);
  machine.uses[0].throwAwayWrites = true;
  machine.uses[0].selfContained = true;
  request.appliance = &machine;
  EXPECT_EQ(PlayMachine(request, appliance), kExitConfiguration);
  EXPECT_TRUE(Has(appliance.OnlyBox().text, "Appliance")) << appliance.OnlyBox().text;
  EXPECT_TRUE(appliance.runs.empty());
  EXPECT_FALSE(appliance.files.WasHeld(secret));
}

TEST_F(PlaySequence, RefusesUefiWithoutFirmwareOrStoreAndATpmWithoutSwtpm) {
  EXPECT_EQ(Play("firmware = \"efi\"\nuefi.secureBoot.enabled = \"TRUE\"\n"), kExitConfiguration);
  EXPECT_EQ(player.firmwareAsked, std::vector<bool>{true});
  EXPECT_TRUE(Has(player.OnlyBox().text, "Paket \"ovmf\"")) << player.OnlyBox().text;
  EXPECT_TRUE(player.runs.empty());
  EXPECT_FALSE(fs::exists(MachineLockPath(vmx)));

  ScriptedPlayer noStore(vmx);
  noStore.files.Put(directory.Name("cd.iso"));
  noStore.firmware = {"/c.fd", "/v.fd"};
  noStore.copyResult = PrivateCopyResult::kNotAFile;
  EXPECT_EQ(PlayMachine({vmx, false}, noStore), kExitConfiguration);
  EXPECT_TRUE(Has(noStore.OnlyBox().text, "m-efivars")) << noStore.OnlyBox().text;
  EXPECT_TRUE(noStore.runs.empty());

  const std::string tpm =
      CdLines("ide1:0", "cd.iso") + "firmware = \"efi\"\nvtpm.present = \"TRUE\"\n";
  for (bool emulates : {true, false}) {
    ScriptedPlayer noSwtpm(vmx);
    noSwtpm.files.Put(directory.Name("cd.iso"));
    noSwtpm.firmware = {"/c.fd", "/v.fd"};
    noSwtpm.look.tpmEmulation = emulates;
    WriteBytes(vmx, tpm);
    EXPECT_EQ(PlayMachine({vmx, false}, noSwtpm), kExitConfiguration);
    const std::string shown = noSwtpm.OnlyBox().text;
    EXPECT_TRUE(Has(shown, emulates ? "Paket \"swtpm\"" : "kein TPM")) << shown;
    EXPECT_TRUE(noSwtpm.runs.empty());
    EXPECT_TRUE(noSwtpm.copies.empty()) << "a UEFI store made for a machine refused";
    EXPECT_FALSE(fs::exists(directory.path() / "m-tpm"));
  }
}

// The one check of a TPM without UEFI comes before the UEFI store, the
// TPM's state folder and the NAT's connections are made.
TEST_F(PlaySequence, RefusesATpmWithoutUefiBeforeAnythingIsMade) {
  player.firmware = {"/c.fd", "/v.fd"};
  player.look.swtpm = "/usr/bin/swtpm";
  player.look.tpmEmulation = true;
  EXPECT_EQ(Play("vtpm.present = \"TRUE\"\nethernet0.present = \"TRUE\"\n"
                 "ethernet0.connectionType = \"nat\"\n"),
            kExitConfiguration);
  const std::string shown = player.OnlyBox().text;
  EXPECT_TRUE(Has(shown, "firmware = \"efi\"")) << shown;
  EXPECT_TRUE(Has(shown, vmx)) << shown;
  EXPECT_TRUE(player.firmwareAsked.empty());
  EXPECT_TRUE(player.copies.empty());
  EXPECT_FALSE(fs::exists(directory.path() / "m-tpm"));
  EXPECT_TRUE(player.runs.empty());
  EXPECT_TRUE(player.handOver.openings.empty());
}

TEST_F(PlaySequence, SaysWhenQemuDoesNotStartOrItsFilesDoNotOpen) {
  player.qemuStarts = false;
  EXPECT_EQ(Play(), kExitNoQemu);
  EXPECT_TRUE(Has(player.OnlyBox().text, std::string("'") + kQemu + "'"));
  EXPECT_FALSE(fs::exists(MachineLockPath(vmx)));

  ScriptedPlayer swapped(vmx);
  swapped.files.Put(directory.Name("cd.iso"));
  swapped.handOver.failing.insert(directory.Name("cd.iso"));
  EXPECT_EQ(PlayMachine({vmx, false}, swapped), kExitConfiguration);
  EXPECT_TRUE(Has(swapped.OnlyBox().text, directory.Name("cd.iso")));
  EXPECT_TRUE(swapped.runs.empty());

  // Out of descriptors at the hand-over: the cause and the limit, not a
  // changed file.
  ScriptedPlayer exhausted(vmx);
  exhausted.files.Put(directory.Name("cd.iso"));
  exhausted.files.openFileLimit = 4096;
  exhausted.handOver.shortages[directory.Name("cd.iso")] = OpenResult::kTooManyFiles;
  EXPECT_EQ(PlayMachine({vmx, false}, exhausted), kExitConfiguration);
  const std::string shown = exhausted.OnlyBox().text;
  EXPECT_TRUE(Has(shown, "Zu viele Dateien")) << shown;
  EXPECT_TRUE(Has(shown, "4096")) << shown;
  EXPECT_TRUE(Has(shown, directory.Name("cd.iso"))) << shown;
  EXPECT_FALSE(Has(shown, "was sie bei der")) << shown;
  EXPECT_TRUE(exhausted.runs.empty());
}

TEST_F(PlaySequence, TriesOnceMoreWithTcgWhenKvmFailsAtTheStart) {
  player.look.kvm.usable = true;
  ProgramEnd early;
  early.exitCode = 1;
  early.seconds = 0.5;
  ProgramEnd clean;
  clean.seconds = 60;
  player.ends = {early, clean};
  EXPECT_EQ(Play(), 0);
  ASSERT_EQ(player.runs.size(), 2u);
  EXPECT_EQ(ValueOf(player.runs[0].arguments, "-accel"), "kvm");
  EXPECT_EQ(ValueOf(player.runs[1].arguments, "-accel"), "tcg");
  EXPECT_EQ(ValueOf(player.runs[1].arguments, "-cpu"), "max");
  EXPECT_TRUE(Has(ValueOf(player.runs[1].arguments, "-name"), "Software-Emulation"));
  // The same files, handed once.
  EXPECT_EQ(player.runs[1].keepOpen, player.runs[0].keepOpen);
  EXPECT_EQ(player.handOver.openings.size(), 1u);
  EXPECT_TRUE(Has(player.errorOutput, "TCG"));
  EXPECT_TRUE(player.boxes.empty());

  // Once only, and not after a guest ran for a while.
  for (double seconds : {0.5, 60.0}) {
    ScriptedPlayer failing(vmx);
    failing.files.Put(directory.Name("cd.iso"));
    failing.look.kvm.usable = true;
    ProgramEnd failed;
    failed.exitCode = 1;
    failed.seconds = seconds;
    failing.ends = {failed, failed};
    EXPECT_EQ(PlayMachine({vmx, false}, failing), 1);
    EXPECT_EQ(failing.runs.size(), seconds < 5 ? 2u : 1u);
  }
}

// What the CD says of itself decides over the .vmx where they disagree.
TEST_F(PlaySequence, GivesACdTheFirmwareItBootsWith) {
  player.files.Put(directory.Name("cd.iso"), BootCd(0xEF, "TRENNWICK_TEST", ""));
  player.firmware = {"/c.fd", "/v.fd"};
  EXPECT_EQ(Play(), 0);
  EXPECT_EQ(player.firmwareAsked, std::vector<bool>{false});
  ASSERT_EQ(player.runs.size(), 1u);
  EXPECT_EQ(ValueOf(player.runs[0].arguments, "-name"),
            "guest=cd.iso - UEFI,, von der CD verlangt - Software-Emulation");
  EXPECT_TRUE(Has(player.errorOutput, "nur mit UEFI"));
  EXPECT_TRUE(player.boxes.empty());
  // The CD was read from the file the player holds, once its place was clear.
  EXPECT_TRUE(player.files.WasRead(directory.Name("cd.iso")));
}

// Without a CD, a raw disk's MBR says the same: a partition of type 0xEF
// (from sector 1, 4 sectors) and no boot code boots under UEFI only.
TEST_F(PlaySequence, GivesARawDiskWithoutACdTheFirmwareItBootsWith) {
  std::string disk(4096, '\0');
  disk[446 + 4] = static_cast<char>(0xEF);
  disk[446 + 8] = 1;
  disk[446 + 12] = 4;
  disk[510] = 0x55;
  disk[511] = static_cast<char>(0xAA);
  player.files.Put(directory.Name("disk.img"), disk);
  player.firmware = {"/c.fd", "/v.fd"};
  WriteBytes(vmx, "ide0:0.present = \"TRUE\"\nide0:0.fileName = \"disk.img\"\n");
  EXPECT_EQ(PlayMachine({vmx, false}, player), 0);
  ASSERT_EQ(player.runs.size(), 1u);
  EXPECT_EQ(ValueOf(player.runs[0].arguments, "-name"),
            "guest=UEFI,, von der Festplatte verlangt - Software-Emulation");
}

// Windows setup gets what it needs where the host has it, and starts
// without the rest after one notice.
TEST_F(PlaySequence, StartsWindowsSetupWithoutWhatTheHostLacks) {
  player.files.Put(directory.Name("cd.iso"),
                   BootCd(0xEF, "CCCOMA_X64FRE_EN-US_DV9", "MICROSOFT CORPORATION"));
  player.firmware = {"/c.fd", "/v.fd"};
  player.look.tpmEmulation = true;  // but swtpm is missing
  player.look.processors = 1;
  EXPECT_EQ(Play("memsize = \"2048\"\nfirmware = \"efi\"\nvtpm.present = \"TRUE\"\n"), 0);
  const std::string shown = player.OnlyBox().text;
  EXPECT_TRUE(Has(shown, "TPM 2.0")) << shown;
  EXPECT_TRUE(Has(shown, "2 Prozessoren")) << shown;
  EXPECT_EQ(player.firmwareAsked, std::vector<bool>{true});
  ASSERT_EQ(player.runs.size(), 1u);
  const Arguments& arguments = player.runs[0].arguments;
  EXPECT_EQ(ValueOf(arguments, "-m"), "4096");
  EXPECT_EQ(ValueOf(arguments, "-smp"), "1");
  EXPECT_EQ(ValueOf(arguments, "-machine"), "q35,smm=on");
  EXPECT_FALSE(Contains(arguments, "-tpmdev"));
}

TEST_F(PlaySequence, RefusesAMachineVmwareEncryptedBeforeAnythingIsMade) {
  for (const std::string key : {"encryption.keySafe", "encryption.data"}) {
    ScriptedPlayer refused(vmx);
    refused.files.Put(directory.Name("cd.iso"));
    WriteBytes(vmx, CdLines("ide1:0", "cd.iso") + key + " = \"vmware:key/list/(pair/...)\"\n");
    EXPECT_EQ(PlayMachine({vmx, false}, refused), kExitConfiguration);
    const std::string shown = refused.OnlyBox().text;
    EXPECT_TRUE(Has(shown, ShownText("mit VMware verschl\xFCsselt (" + key + ")"))) << shown;
    EXPECT_TRUE(Has(shown, vmx)) << shown;
    EXPECT_EQ(refused.looks, 0);
    EXPECT_TRUE(refused.files.looked.empty());
    EXPECT_TRUE(refused.runs.empty());
  }
  // Nothing but the .vmx itself lies in its folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(directory.path()), fs::directory_iterator()), 1);
}

TEST_F(PlaySequence, StartsASuspendedMachineFreshOnlyOnYesAndNeverTouchesItsState) {
  const std::string suspended = "checkpoint.vmState = \"m-1a2b.vmss\"\n";
  for (std::int32_t answer : {kAnswerNo, kBoxClosed}) {
    ScriptedPlayer asked(vmx);
    asked.files.Put(directory.Name("cd.iso"));
    asked.answers = {answer};
    WriteBytes(vmx, CdLines("ide1:0", "cd.iso") + suspended);
    EXPECT_EQ(PlayMachine({vmx, false}, asked), 0);
    const ShownBox box = asked.OnlyBox();
    EXPECT_EQ(box.flags, 0x124u);  // Yes/No, a question, No the default
    EXPECT_TRUE(Has(box.text, "'m-1a2b.vmss'")) << box.text;
    EXPECT_TRUE(Has(box.text, "geht verloren")) << box.text;
    EXPECT_TRUE(asked.runs.empty());
    EXPECT_FALSE(fs::exists(MachineLockPath(vmx)));
  }
  player.answers = {kAnswerYes};
  EXPECT_EQ(Play(suspended), 0);
  EXPECT_EQ(player.boxes.size(), 1u);
  ASSERT_EQ(player.runs.size(), 1u);
  for (const std::string& looked : player.files.looked) {
    EXPECT_FALSE(Has(looked, ".vmss")) << looked;
  }
  for (const std::string& argument : player.runs[0].arguments) {
    EXPECT_FALSE(Has(argument, ".vmss") || Has(argument, ".vmem")) << argument;
  }
  // VMware empties the setting once the state is resumed or discarded.
  ScriptedPlayer resumed(vmx);
  resumed.files.Put(directory.Name("cd.iso"));
  WriteBytes(vmx, CdLines("ide1:0", "cd.iso") + "checkpoint.vmState = \"\"\n");
  EXPECT_EQ(PlayMachine({vmx, false}, resumed), 0);
  EXPECT_TRUE(resumed.boxes.empty()) << resumed.errorOutput;
  EXPECT_EQ(resumed.runs.size(), 1u);
}

// '|' and '\\' are names like any other on Linux: the disk beside the .vmx
// is its own, not a file elsewhere.
TEST_F(PlaySequence, TakesTheFolderOfTheVmxWithTheSystemsSeparatorsAlone) {
  if (kSep != '/') GTEST_SKIP() << "Windows folder names hold neither '|' nor '\\'";
  const fs::path folder = directory.path() / "a|b\\c";
  fs::create_directory(folder);
  const std::string inFolder = (folder / "m\\x.vmx").string();
  const std::string disk = (folder / "disk.img").string();
  WriteBytes(inFolder, DiskLines("scsi0:0", "disk.img") + "scsi0.present = \"TRUE\"\n");
  ScriptedPlayer own(inFolder);
  own.files.Put(disk, std::string(4096, '\0'));
  EXPECT_EQ(PlayMachine({inFolder, false}, own), 0);
  EXPECT_TRUE(own.boxes.empty()) << own.errorOutput;
  ASSERT_EQ(own.runs.size(), 1u);
  EXPECT_TRUE(own.files.WasHeld(disk));
}

TEST_F(PlaySequence, GivesNoMoreThanTheHostCanSpareAndSaysSoOnEveryRun) {
  player.look.memoryMegabytes = 24576;
  player.look.processors = 2;
  for (int run = 0; run < 2; ++run) {
    player.boxes.clear();
    player.errorOutput.clear();
    EXPECT_EQ(Play("memsize = \"24064\"\nnumvcpus = \"64\"\n"), 0);
    const std::string shown = player.OnlyBox().text;
    EXPECT_TRUE(Has(shown, "von 24064 auf 22528 MB")) << shown;
    EXPECT_TRUE(Has(shown, "von 64 auf 2")) << shown;
    EXPECT_TRUE(Has(player.errorOutput, "von 64 auf 2")) << player.errorOutput;
  }
  ASSERT_EQ(player.runs.size(), 2u);
  EXPECT_EQ(ValueOf(player.runs[1].arguments, "-m"), "22528");
  EXPECT_EQ(ValueOf(player.runs[1].arguments, "-smp"), "2");
}

}  // namespace

// A disk QEMU can only read boots over the player's own overlay, written
// into its folder before QEMU starts; the title says that the guest's
// changes go.
TEST_F(PlaySequence, GivesAStreamOptimizedDiskAThrowAwayOverlayAndSaysSo) {
  player.files.Put(directory.Name("s.vmdk"), SparseVmdkFile(1));
  EXPECT_EQ(Play("displayName = \"Test\"\n" + DiskLines("ide0:0", "s.vmdk")), 0);
  ASSERT_EQ(player.runs.size(), 1u) << player.errorOutput;
  ASSERT_EQ(player.imageFolder.written.size(), 1u);
  const std::string& overlay = player.imageFolder.written.begin()->second;
  EXPECT_EQ(overlay.substr(0, 4), "QFI\xFB");
  const Arguments& arguments = player.runs[0].arguments;
  EXPECT_TRUE(
      Contains(arguments, "driver=qcow2,node-name=drive0,file=drive0-file,backing=drive0-base"));
  EXPECT_EQ(ValueOf(arguments, "-name"), "guest=Test - cd.iso - " +
                                             ShownText("\xC4nderungen werden verworfen") +
                                             " - Software-Emulation");

  // Where the overlay cannot be made, nothing starts.
  ScriptedPlayer failing(vmx);
  failing.files = player.files;
  failing.imageFolder.failing = true;
  EXPECT_EQ(PlayMachine({vmx, false}, failing), kExitConfiguration);
  EXPECT_TRUE(failing.runs.empty());
  EXPECT_TRUE(Has(failing.errorOutput, "s.vmdk"));
}

// Refused before anything is made beside the .vmx: no lock, no UEFI store.
TEST_F(PlaySequence, RefusesAnEncryptedDiskBeforeMakingAnything) {
  std::string luks = Qcow2Naming("");
  luks[35] = 2;  // crypt_method: LUKS
  player.files.Put(directory.Name("e.qcow2"), luks);
  EXPECT_EQ(Play("firmware = \"efi\"\n" + DiskLines("ide0:0", "e.qcow2")), kExitConfiguration);
  EXPECT_TRUE(player.runs.empty());
  EXPECT_TRUE(player.copies.empty());
  EXPECT_TRUE(Has(player.OnlyBox().text, "LUKS"));
  EXPECT_TRUE(Has(player.OnlyBox().text, "e.qcow2"));
  EXPECT_FALSE(std::filesystem::exists(MachineLockPath(vmx)));
}
