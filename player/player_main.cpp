// trennwick-player FILE.vmx: boots the virtual machine of a VMware
// configuration in QEMU and ends with QEMU's exit code. A CD image or an
// appliance (.ova, .ovf), told by its content, boots as a throw-away
// machine. While QEMU runs
// the machine's lock lies beside the .vmx, and QEMU ends with the player.
// On Windows, --register and --unregister set up or remove the current
// user's .vmx association with this program; --silent after either
// reports on stderr only, for installers.
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "core/run_folder.h"
#include "platform/command_line.h"
#include "platform/dialogs.h"
#include "platform/directory_services.h"
#include "platform/file_kind.h"
#include "platform/shown_text.h"
#include "platform/system.h"
#include "platform/trennwick_run.h"
#include "player/appliance.h"
#include "player/cd_machine.h"
#include "player/host/accelerator_access.h"
#include "player/host/audio_output.h"
#include "player/host/desktop_session.h"
#include "player/host/environment.h"
#include "player/host/file_association.h"
#include "player/host/host_facts.h"
#include "player/host/install_advice.h"
#include "player/host/machine_file_access.h"
#include "player/host/program_runner.h"
#include "player/host/program_search.h"
#include "player/host/program_search_system.h"
#include "player/host/tpm_state_folder.h"
#include "player/host/uefi_files.h"
#include "player/play_sequence.h"

namespace {

constexpr char kQemuProgram[] = "qemu-system-x86_64";
constexpr char kSwtpmProgram[] = "swtpm";
constexpr char kLauncherProgram[] = "trennwick";
constexpr char kVmxExtension[] = ".vmx";
constexpr char kProgId[] = "Trennwick.Player.vmx";
constexpr char kVmxTypeName[] = "VMware-Konfiguration";
constexpr char kAcceleratorVariable[] = "TRENNWICK_PLAYER_ACCEL";

// Tells of a failure and gives its exit code.
int FailBox(PlayerServices& services, const std::string& shown, int exitCode, bool display) {
  Tell(services, kErrorTitle, shown, display);
  return exitCode;
}

std::string OpenCommand() {
  // Built in steps: g++ 12 warns falsely on literal + temporary here.
  std::string command = "\"";
  command += ProgramFilePath();
  command += "\" \"%1\"";
  return command;
}

// With `boxes` false (--silent, as an installer runs it) the outcome goes
// to stderr only: a box would stop a silent install.
int Associate(PlayerServices& services, bool registering, bool boxes) {
  const std::string program = ProgramFilePath();
  const std::string programName = program.substr(DirectoryPart(program).size());
  const AssociationResult result =
      registering ? RegisterFileAssociation(kVmxExtension, kProgId, kVmxTypeName, OpenCommand())
                  : UnregisterFileAssociation(kVmxExtension, kProgId, programName);
  switch (result) {
    case AssociationResult::kDone:
      Tell(services, kNoticeTitle,
           ShownText(registering ? "Dieses Programm \xF6"
                                   "ffnet jetzt .vmx-Dateien."
                                 : "Die Zuordnung der .vmx-Dateien zu diesem Programm ist "
                                   "entfernt."),
           boxes);
      return 0;
    case AssociationResult::kAlreadyDone:
      Tell(services, kNoticeTitle,
           ShownText("Dieses Programm \xF6"
                     "ffnet .vmx-Dateien schon; nichts ge\xE4ndert."),
           boxes);
      return 0;
    case AssociationResult::kHandlerExists:
      return FailBox(
          services,
          ShownText("F\xFCr .vmx-Dateien ist schon ein Programm eingetragen; nichts ge\xE4ndert."),
          1, boxes);
    case AssociationResult::kNotOurs:
      return FailBox(services,
                     ShownText("Die Zuordnung der .vmx-Dateien stammt nicht von diesem Programm; "
                               "nichts ge\xE4ndert."),
                     1, boxes);
    case AssociationResult::kNotSupported:
      return FailBox(services,
                     ShownText("Die Zuordnung von .vmx-Dateien wird auf diesem System nicht "
                               "unterst\xFCtzt."),
                     kExitUsage, boxes);
    case AssociationResult::kFailed:
      break;
  }
  return FailBox(services,
                 ShownText("Die Zuordnung der .vmx-Dateien konnte nicht ge\xE4ndert werden."), 1,
                 boxes);
}

// The system's services for the player's steps.
class SystemPlayerServices : public PlayerServices, MachineFileHost, HandOverHost {
 public:
  bool DisplayPresent() override { return GraphicalDisplayPresent(); }
  std::int32_t ShowMessage(const std::string& title, const std::string& text,
                           std::uint32_t flags) override {
    return ::ShowMessage(title, text, flags);
  }
  void WriteToStandardError(const std::string& text) override { ::WriteToStandardError(text); }

  HostLook LookAtHost() override {
    HostLook look;
    look.acceleratorOverride = EnvironmentText(kAcceleratorVariable);
    if (look.acceleratorOverride.empty()) {
      look.kvm = CheckKvm();
      look.whpx = !look.kvm.usable && WhpxUsable();
    }
    look.ownDirectory = DirectoryPart(ProgramFilePath());
    look.qemu = FindProgram(kQemuProgram, look.ownDirectory);
    look.qemuInstallDirectories = ProgramInstallDirectories();
    look.qemuAdvice = QemuInstallAdvice();
    look.uefiAdvice = UefiFirmwareAdvice();
    look.tpmEmulation = HostEmulatesTpm();
    if (look.tpmEmulation) look.swtpm = FindProgram(kSwtpmProgram, "");
    look.audioBackend = DefaultAudioDriver();
    look.memoryMegabytes = PhysicalMemoryMegabytes();
    look.processors = HostProcessors();
    look.titleDash = TitleDash();
    look.separator = system_facts::kPathSeparator;
    look.temporaryRoot = system_facts::kTemporaryRoot;
    look.temporaryFolders = TemporaryFolders();
    look.userFolders = UserFolders();
    std::string launcher;
    look.launcherIsParent =
        ResolveFilePath(look.ownDirectory + kLauncherProgram + kProgramExtension, &launcher) &&
        ParentProgramFile() == launcher;
    return look;
  }

  UefiFirmware FindUefiFirmware(bool secureBoot, const std::string& qemu) override {
    return ::FindUefiFirmware(secureBoot, qemu);
  }
  PrivateCopyResult MakePrivateCopy(const std::string& source, const std::string& target) override {
    return ::MakePrivateCopy(source, target);
  }
  MachineFileHost& MachineFiles() override { return *this; }
  HandOverHost& HandOver() override { return *this; }
  ImageFolder& PlayerImages() override { return imageFolder_; }
  bool RunProgramToEnd(const std::string& program, const std::vector<std::string>& arguments,
                       const std::vector<int>& keepOpen, ProgramEnd* end) override {
    return ::RunProgramToEnd(program, arguments, keepOpen, end);
  }

  // The machine's files.
  bool Resolve(const std::string& path, std::string* resolved) override {
    return ResolveFilePath(path, resolved);
  }
  FileKind Kind(const std::string& resolved) override { return KindOfFile(resolved); }
  bool PrivateToUser(const std::string& resolved) override {
    return PrivateToCurrentUser(resolved);
  }
  bool OthersMayWrite(const std::string& resolvedFolder) override {
    return ::OthersMayWrite(resolvedFolder);
  }
  bool VolumeRoot(const std::string& resolvedFolder) override {
    return IsVolumeRoot(resolvedFolder);
  }
  OpenResult OpenForReading(const std::string& resolved, bool blockDeviceAllowed,
                            std::size_t* held) override {
    return held_.Open(resolved, blockDeviceAllowed, held);
  }
  bool ReadAt(std::size_t held, std::uint64_t offset, std::size_t count,
              std::string* bytes) override {
    return held_.ReadAt(held, offset, count, bytes);
  }
  std::uint64_t Size(std::size_t held) override { return held_.Size(held); }
  std::uint64_t LinkCount(std::size_t held) override { return held_.LinkCount(held); }
  long long OpenFileLimit() override { return ::OpenFileLimit(); }

  // Handing them to QEMU.
  bool HandsDescriptors() const override { return FilesHandedAsDescriptors(); }
  OpenResult OpenHeld(std::size_t held, HandOverMode mode, std::vector<int>* descriptors) override {
    return Keep(held_.OpenForHandOver(held, mode, descriptors), *descriptors);
  }
  OpenResult OpenNamed(const std::string& resolved, HandOverMode mode, bool blockDevice,
                       std::vector<int>* descriptors) override {
    return Keep(OpenForHandOver(resolved, mode, blockDevice, descriptors), *descriptors);
  }

 private:
  OpenResult Keep(OpenResult opened, const std::vector<int>& descriptors) {
    if (opened == OpenResult::kOpened) {
      handed_.all().insert(handed_.all().end(), descriptors.begin(), descriptors.end());
    }
    return opened;
  }

  HeldFiles held_;
  HandedDescriptors handed_;
  TemporaryImageFolder imageFolder_{system_facts::kTemporaryRoot};
};

// A CD image from the file manager: the launcher's throw-away machine for
// it (for a link, for the file it points to, asked about where that lies
// elsewhere), played and then removed, also after a stop signal passed on
// to QEMU.
int PlayCd(const std::string& image, PlayerServices& services) {
  const PickedImage picked = LookAtPickedImage(image);
  if (picked.linkLeadsOut && !UserSaysYes(services, LinkedImageQuestion(image, picked.image))) {
    return 0;
  }
  const CdMachinePlaces places = SystemCdMachinePlaces();
  CdMachine machine;
  if (const std::optional<MachineFailure> failure = MakeCdMachine(picked.image, places, &machine)) {
    const std::string templatePath = places.templateDirectory + kTemplateFileName;
    return FailBox(services, MachineFailureText(*failure, picked.image, templatePath),
                   kExitConfiguration, true);
  }
  const int code = PlayMachine({machine.vmxFile(), true}, services);
  if (!machine.Remove()) {
    Tell(services, kErrorTitle, FolderStaysText(machine.folder()), true);
  }
  return code;
}

// Removes a run folder with everything in it when the run ends, however
// it ends.
class RunFolderRemoval {
 public:
  RunFolderRemoval(std::string folder, PlayerServices& services)
      : folder_(std::move(folder)), services_(services) {}
  ~RunFolderRemoval() {
    if (RemoveDirectoryTree(folder_, "", RemoveRecursive) == 0) {
      Tell(services_, kErrorTitle, FolderStaysText(folder_), true);
    }
  }
  RunFolderRemoval(const RunFolderRemoval&) = delete;
  RunFolderRemoval& operator=(const RunFolderRemoval&) = delete;

 private:
  const std::string folder_;
  PlayerServices& services_;
};

// An appliance, read and checked before anything is made. Its machine
// runs from a fresh run folder, where its lock and firmware store lie; the
// folder goes at the end, also after a stop signal passed on to QEMU.
int PlayAppliance(const std::string& path, OpenedKind kind, PlayerServices& services) {
  const ApplianceMachine appliance =
      ReadAppliance(path, kind, services.MachineFiles(), system_facts::kPathSeparator);
  if (!appliance.error.empty()) {
    return FailBox(services, appliance.error, kExitConfiguration, true);
  }
  const CdMachinePlaces places = SystemCdMachinePlaces();
  const std::optional<std::string> folder =
      MakeRunFolder(places.temporaryRoot, FormatInteger(places.now),
                    [](const std::string& name) { return MakeDirectory(name); });
  if (!folder) {
    return FailBox(services,
                   MachineFailureText(MachineFailure::kNoFolder, path,
                                      places.templateDirectory + kTemplateFileName),
                   kExitConfiguration, true);
  }
  const RunFolderRemoval removal(*folder, services);
  PlayRequest request;
  request.vmxFile = *folder + kRunConfigName;
  request.madeByPlayer = true;
  request.appliance = &appliance.machine;
  return PlayMachine(request, services);
}

// What the player was given, by its content. What is no regular file (a
// CD drive, a missing name) goes the CD's way, whose checks tell the user.
int PlayOpened(const std::string& path, PlayerServices& services) {
  MachineFileHost& files = services.MachineFiles();
  std::string resolved;
  if (!files.Resolve(path, &resolved) || files.Kind(resolved) != FileKind::kRegular) {
    return PlayCd(path, services);
  }
  std::size_t held = 0;
  std::string start;
  if (files.OpenForReading(resolved, false, &held) != OpenResult::kOpened ||
      !files.ReadAt(held, 0, kContentProbeBytes, &start)) {
    return FailBox(services,
                   ShownText("Kann die Datei nicht lesen: '") + ShownFileName(path) +
                       ShownText("'. Nichts gestartet."),
                   kExitConfiguration, true);
  }
  const OpenedKind kind = KindOfContent(start);
  switch (kind) {
    case OpenedKind::kCdImage:
      return PlayCd(path, services);
    case OpenedKind::kApplianceArchive:
    case OpenedKind::kApplianceEnvelope:
      return PlayAppliance(path, kind, services);
    case OpenedKind::kUnknown:
      break;
  }
  return FailBox(services,
                 ShownText("'") + ShownFileName(path) +
                     ShownText("' ist weder ein CD-Abbild (ISO 9660 oder UDF) noch eine Appliance "
                               "(.ova oder .ovf) noch eine VMware-Konfiguration (.vmx).\rDer "
                               "Player \xF6"
                               "ffnet nur diese; nichts gestartet."),
                 kExitConfiguration, true);
}

int Play(int argc, char** argv) {
  RaiseOpenFileLimit();
  InitDialogServices();
  SystemPlayerServices services;
  const std::vector<std::string> parameters(argv + 1, argv + argc);
  if (!parameters.empty() && (parameters[0] == "--register" || parameters[0] == "--unregister")) {
    const bool silent = parameters.size() == 2 && parameters[1] == "--silent";
    if (parameters.size() == 1 || silent) {
      return Associate(services, parameters[0] == "--register", !silent);
    }
  }
  const bool display = services.DisplayPresent();
  if (parameters.size() != 1 || parameters[0].empty() || parameters[0] == "--help") {
    Tell(services, kErrorTitle,
         ShownText("Aufruf: trennwick-player DATEI.vmx, CD-ABBILD oder APPLIANCE (.ova, .ovf)"),
         display);
    return kExitUsage;
  }
  if (!display) {
    Tell(services, kErrorTitle,
         ShownText("Keine grafische Anzeige (DISPLAY oder WAYLAND_DISPLAY): die virtuelle "
                   "Maschine k\xF6nnte weder gezeigt noch geschlossen werden. Nichts "
                   "gestartet."),
         false);
    return kExitNoDisplay;
  }
  if (IsVmxFileName(parameters[0])) return PlayMachine({parameters[0], false}, services);
  return PlayOpened(parameters[0], services);
}

}  // namespace

int main(int argc, char** argv) {
  // No input may end the program through an exception: a .vmx that asks
  // for more memory than there is gets a box and an exit code.
  try {
    return Play(argc, argv);
  } catch (const std::exception&) {
    WriteToStandardError(
        ShownText("Zu wenig Speicher oder ein interner Fehler: die virtuelle Maschine wurde "
                  "nicht gestartet.\n"));
    ShowMessage(ShownText(kErrorTitle),
                ShownText("Zu wenig Speicher oder ein interner Fehler: die virtuelle Maschine "
                          "wurde nicht gestartet."),
                0);
    return kExitNoMemory;
  }
}
