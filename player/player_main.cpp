// trennwick-player FILE.vmx: boots the virtual machine of a VMware
// configuration in QEMU and ends with QEMU's exit code. While QEMU runs
// the machine's lock lies beside the .vmx, and QEMU ends with the player.
// On Windows, --register and --unregister set up or remove the current
// user's .vmx association with this program; --silent after either
// reports on stderr only, for installers.
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/dialogs.h"
#include "platform/file_association.h"
#include "platform/file_channels.h"
#include "platform/file_kind.h"
#include "platform/machine_file_access.h"
#include "platform/machine_lock.h"
#include "platform/player_host.h"
#include "platform/shown_text.h"
#include "platform/system.h"
#include "player/accelerator.h"
#include "player/firmware.h"
#include "player/machine_files.h"
#include "player/network.h"
#include "player/passt_companion.h"
#include "player/qemu_invocation.h"
#include "player/tpm.h"
#include "player/tpm_companion.h"
#include "player/vmx_config.h"
#include "player/vmx_settings.h"

namespace {

constexpr char kErrorTitle[] = "Fehler";
constexpr char kNoticeTitle[] = "Trennwick-Player";
constexpr char kQemuProgram[] = "qemu-system-x86_64";
constexpr char kQemuImgProgram[] = "qemu-img";
constexpr char kVmxExtension[] = ".vmx";
constexpr char kProgId[] = "Trennwick.Player.vmx";
constexpr char kVmxTypeName[] = "VMware-Konfiguration";
constexpr char kAcceleratorVariable[] = "TRENNWICK_PLAYER_ACCEL";

// Exit codes of the player's own failures; QEMU's code is passed on.
constexpr int kExitUsage = 2;
constexpr int kExitConfiguration = 3;
constexpr int kExitNoQemu = 4;
constexpr int kExitNoDisplay = 5;
constexpr int kExitMachineLocked = 6;
constexpr int kExitNoTpm = 7;
constexpr int kExitNoMemory = 8;

// Every message goes to stderr, and into a box where there is a display to
// show one. `shown` is a display text.
void Tell(const char* title, const std::string& shown, bool display) {
  std::string line = shown;
  for (char& c : line) {
    if (c == '\r') c = '\n';
  }
  WriteToStandardError(line + "\n");
  if (display) ShowMessage(ShownText(title), shown, 0);
}

int Fail(const std::string& shown, int exitCode, bool display = true) {
  Tell(kErrorTitle, shown, display);
  CloseAllChannels();
  return exitCode;
}

// An own text with a file name in quotes, then the rest of the own text.
std::string WithName(const char* before, const std::string& name, const char* after = "'.") {
  return ShownText(before) + ShownFileName(name) + ShownText(after);
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
int Associate(bool registering, bool boxes) {
  const std::string program = ProgramFilePath();
  const std::string programName = program.substr(DirectoryPart(program).size());
  const AssociationResult result =
      registering ? RegisterFileAssociation(kVmxExtension, kProgId, kVmxTypeName, OpenCommand())
                  : UnregisterFileAssociation(kVmxExtension, kProgId, programName);
  switch (result) {
    case AssociationResult::kDone:
      Tell(kNoticeTitle,
           ShownText(registering ? "Dieses Programm \xF6"
                                   "ffnet jetzt .vmx-Dateien."
                                 : "Die Zuordnung der .vmx-Dateien zu diesem Programm ist "
                                   "entfernt."),
           boxes);
      CloseAllChannels();
      return 0;
    case AssociationResult::kAlreadyDone:
      Tell(kNoticeTitle,
           ShownText("Dieses Programm \xF6"
                     "ffnet .vmx-Dateien schon; nichts ge\xE4ndert."),
           boxes);
      CloseAllChannels();
      return 0;
    case AssociationResult::kHandlerExists:
      return Fail(
          ShownText("F\xFCr .vmx-Dateien ist schon ein Programm eingetragen; nichts ge\xE4ndert."),
          1, boxes);
    case AssociationResult::kNotOurs:
      return Fail(ShownText("Die Zuordnung der .vmx-Dateien stammt nicht von diesem Programm; "
                            "nichts ge\xE4ndert."),
                  1, boxes);
    case AssociationResult::kNotSupported:
      return Fail(ShownText("Die Zuordnung von .vmx-Dateien wird auf diesem System nicht "
                            "unterst\xFCtzt."),
                  kExitUsage, boxes);
    case AssociationResult::kFailed:
      break;
  }
  return Fail(ShownText("Die Zuordnung der .vmx-Dateien konnte nicht ge\xE4ndert werden."), 1,
              boxes);
}

// The one question about the files of a .vmx from elsewhere. Closing the
// box counts as "Nein", which is also its default button.
bool UserAllowsOutsideFiles(const MachineFilePlan& plan, const std::string& vmxFile) {
  constexpr std::uint32_t kYesNoQuestionDefaultNo = 0x4 | 0x20 | 0x100;
  constexpr std::int32_t kAnswerYes = 6;
  std::string text = WithName("Die Konfiguration '", vmxFile,
                              "' verwendet Dateien au\xDF"
                              "erhalb ihres Ordners:\r");
  for (const PlacedFile& file : plan.files) {
    if (!file.outside) continue;
    text += ShownText(file.use.access == FileAccess::kWrite ? "\r  schreibt: " : "\r  liest: ") +
            ShownFileName(file.resolved);
  }
  text += ShownText(
      "\r\rStammt die Konfiguration nicht von Ihnen, kann sie so fremde Dateien lesen oder "
      "\xFC"
      "berschreiben.\rDiese Dateien verwenden und die Maschine starten?");
  return ShowMessage(ShownText(kNoticeTitle), text, kYesNoQuestionDefaultNo) == kAnswerYes;
}

// Linux: opens every file QEMU would open by the .vmx's names, so that it
// gets descriptors (-add-fd) and no name can be swapped after the check.
// False with `failed` set when a file does not open as what it was.
bool HandOverFiles(const MachineFilePlan& plan, HandedDescriptors* held,
                   std::vector<HandedFile>* handed, std::string* failed) {
  if (!FilesHandedAsDescriptors()) return true;
  for (std::size_t i = 0; i < plan.files.size(); ++i) {
    const PlacedFile& file = plan.files[i];
    if (file.useIndex == kNoArgument || file.use.kind == FileUseKind::kTpmStateFolder) continue;
    HandOverMode mode = HandOverMode::kReadWrite;
    if (file.use.kind == FileUseKind::kSerialOutput) mode = HandOverMode::kAppend;
    if (file.use.access == FileAccess::kRead) mode = HandOverMode::kRead;
    HandedFile opened{i, {}};
    if (!OpenForHandOver(file.resolved, mode, file.use.kind == FileUseKind::kCdImage,
                         &opened.descriptors)) {
      *failed = file.resolved;
      return false;
    }
    held->all().insert(held->all().end(), opened.descriptors.begin(), opened.descriptors.end());
    handed->push_back(opened);
  }
  return true;
}

// The machine's own UEFI variable store lies beside its configuration, so
// that it goes with a temporary directory and the system's file stays as
// it is.
std::string VariableStorePath(const std::string& vmxFile, bool secureBoot) {
  return MachineFileBase(vmxFile) + (secureBoot ? "-efivars-secure.fd" : "-efivars.fd");
}

// Takes the machine's lock; else says why not and gives the exit code.
bool TakeMachineLock(const std::string& vmxFile, MachineLock* lock, int* exitCode) {
  const MachineLockResult result = lock->Take(vmxFile);
  if (result == MachineLockResult::kTaken) return true;
  const std::string& path = lock->path();
  switch (result) {
    case MachineLockResult::kHeld:
      Tell(kNoticeTitle,
           ShownText("Diese virtuelle Maschine l\xE4uft schon (Prozess ") +
               ShownText(std::to_string(lock->ownerProcess()).c_str()) +
               WithName("). Nichts gestartet.\r\rSperre: '", path),
           true);
      break;
    case MachineLockResult::kUnknown:
      Tell(kNoticeTitle,
           WithName("Diese virtuelle Maschine wird schon benutzt: ihre Sperre '", path,
                    "' geh\xF6rt einem anderen Programm. Nichts gestartet. L\xE4uft keine "
                    "Maschine mehr, kann die Sperre gel\xF6scht werden."),
           true);
      break;
    default:
      Tell(kErrorTitle,
           WithName(result == MachineLockResult::kInTheWay
                        ? "An der Stelle der Sperre der virtuellen Maschine liegt etwas anderes: '"
                        : "Die Sperre der virtuellen Maschine kann nicht angelegt werden: '",
                    path, "'. Nichts gestartet."),
           true);
      break;
  }
  CloseAllChannels();
  *exitCode = kExitMachineLocked;
  return false;
}

std::string QemuFailure(const ProgramEndReport& report, const ProgramEnd& end) {
  std::string text = ShownText(report.text.c_str());
  // QEMU writes in the system's display encoding; a stray byte must not
  // spoil the box.
  if (!end.errorTail.empty()) text += "\r\r" + ShownFileName(end.errorTail);
  return text;
}

// The machine still runs, in software emulation; the user learns why and
// what helps. The system's reason is a display text already.
void TellKvmRefusal(const KvmAccess& access) {
  std::string text = ShownText(
                         "KVM ist vorhanden, aber /dev/kvm l\xE4sst sich nicht \xF6"
                         "ffnen: ") +
                     access.refusal +
                     ShownText(
                         ". Die Maschine l\xE4uft deshalb in Software-Emulation, um ein "
                         "Vielfaches langsamer.");
  if (access.permissionDenied) {
    text += ShownText(
        " Abhilfe: Mitglied der Gruppe \"kvm\" werden, z. B. mit \"sudo adduser "
        "$USER kvm\", und danach neu anmelden.");
  }
  Tell(kNoticeTitle, text, false);
}

// Where QEMU was looked for and where it comes from.
std::string QemuMissing(const std::string& besideDirectory) {
  std::string text = ShownText("QEMU (" + std::string(kQemuProgram) +
                               ") wurde nicht gefunden. Gesucht: neben diesem Programm ('") +
                     ShownFileName(besideDirectory) + ShownText("'), im Suchpfad (PATH)");
  for (const std::string& directory : ProgramInstallDirectories()) {
    text += ShownText(", in '") + ShownFileName(directory) + "'";
  }
  return text + ShownText(system_facts::kPathSeparator == '\\'
                              ? ".\rQEMU f\xFCr Windows gibt es auf der Download-Seite des "
                                "QEMU-Projekts: https://www.qemu.org/download/#windows"
                              : ".\rBitte das Debian-Paket \"qemu-system-x86\" installieren.");
}

// QEMU to its end, with a TPM beside a fresh swtpm and NAT cards beside a
// fresh passt each. False when one could not be started; `failure` says
// which.
bool RunMachine(const std::string& qemu, const std::vector<std::string>& arguments,
                std::vector<int> keepOpen, TpmCompanion& tpm, PasstCompanion& passt,
                ProgramEnd* end, std::string* failure, int* exitCode) {
  *failure = passt.Start();
  *exitCode = kExitConfiguration;
  if (!failure->empty()) return false;
  *failure = tpm.Start();
  *exitCode = kExitNoTpm;
  if (!failure->empty()) {
    passt.Stop();
    return false;
  }
  for (int descriptor : tpm.Descriptors()) keepOpen.push_back(descriptor);
  for (int descriptor : passt.Descriptors()) keepOpen.push_back(descriptor);
  const bool ran = RunProgramToEnd(qemu, arguments, keepOpen, end);
  tpm.Stop();
  passt.Stop();
  if (ran) return true;
  *failure = WithName("QEMU konnte nicht gestartet werden: '", qemu);
  *exitCode = kExitNoQemu;
  return false;
}

int Play(int argc, char** argv) {
  InitChannelTable();
  InitDialogServices();
  const std::vector<std::string> parameters(argv + 1, argv + argc);
  if (!parameters.empty() && (parameters[0] == "--register" || parameters[0] == "--unregister")) {
    const bool silent = parameters.size() == 2 && parameters[1] == "--silent";
    if (parameters.size() == 1 || silent) return Associate(parameters[0] == "--register", !silent);
  }
  const bool display = GraphicalDisplayPresent();
  if (parameters.size() != 1 || parameters[0].empty() || parameters[0] == "--help") {
    return Fail(ShownText("Aufruf: trennwick-player DATEI.vmx"), kExitUsage, display);
  }
  if (!display) {
    return Fail(ShownText("Keine grafische Anzeige (DISPLAY oder WAYLAND_DISPLAY): die virtuelle "
                          "Maschine k\xF6nnte weder gezeigt noch geschlossen werden. Nichts "
                          "gestartet."),
                kExitNoDisplay, false);
  }

  const std::string& vmxFile = parameters[0];
  VmxConfig config;
  switch (ReadVmxFile(vmxFile, config)) {
    case VmxReadResult::kRead:
      break;
    case VmxReadResult::kNotAFile:
      return Fail(WithName("Die Konfiguration ist keine gew\xF6hnliche Datei: '", vmxFile),
                  kExitConfiguration);
    case VmxReadResult::kTooLarge:
      return Fail(WithName("Die Konfiguration ist gr\xF6\xDF"
                           "er als 1 MiB und wird nicht "
                           "gelesen: '",
                           vmxFile),
                  kExitConfiguration);
    case VmxReadResult::kCannotOpen:
    case VmxReadResult::kReadFailed:
      return Fail(WithName("Kann die Konfiguration nicht lesen: '", vmxFile), kExitConfiguration);
  }
  const std::string unconverted = ConvertVmxToSystemEncoding(config);
  if (!unconverted.empty()) {
    return Fail(ShownText(unconverted.c_str()) + "\r(" + ShownFileName(vmxFile) + ")",
                kExitConfiguration);
  }
  if (config.settings.empty()) {
    return Fail(WithName("Die Konfiguration ist leer: '", vmxFile), kExitConfiguration);
  }

  QemuHostFacts host;
  const std::string override = EnvironmentText(kAcceleratorVariable);
  const KvmAccess kvmAccess = override.empty() ? CheckKvm() : KvmAccess{};
  const bool kvm = kvmAccess.usable;
  if (!kvmAccess.refusal.empty()) TellKvmRefusal(kvmAccess);
  if (!ChooseAccelerator(override, kvm, override.empty() && !kvm && WhpxUsable(),
                         &host.accelerator)) {
    return Fail(ShownText(("Unbekannter Wert von " + std::string(kAcceleratorVariable) + ": '" +
                           override + "' (erlaubt: kvm, tcg, whpx).")
                              .c_str()),
                kExitUsage);
  }
  host.audioBackend = DefaultAudioDriver();
  host.vmxDirectory = DirectoryPart(vmxFile);
  host.separator = system_facts::kPathSeparator;

  const std::string qemu = FindProgram(kQemuProgram, DirectoryPart(ProgramFilePath()));
  if (qemu.empty()) return Fail(QemuMissing(DirectoryPart(ProgramFilePath())), kExitNoQemu);

  VmxSettings firmwareSettings(config);
  const FirmwareKind firmware = RequestedFirmware(firmwareSettings);
  UefiFirmware uefi;
  if (firmware != FirmwareKind::kBios) {
    const bool secure = firmware == FirmwareKind::kEfiSecureBoot;
    uefi = FindUefiFirmware(secure, qemu);
    if (uefi.code.empty()) {
      return Fail(ShownText(system_facts::kPathSeparator == '\\'
                                ? "Die Konfiguration verlangt UEFI, aber die Firmware "
                                  "(edk2-x86_64-code.fd im Ordner \"share\" von QEMU) fehlt. "
                                  "Bitte QEMU vollst\xE4ndig installieren."
                                : "Die Konfiguration verlangt UEFI, aber die Firmware fehlt. "
                                  "Bitte das Paket \"ovmf\" installieren."),
                  kExitConfiguration);
    }
    host.firmwareCode = uefi.code;
    host.firmwareVariables = VariableStorePath(vmxFile, secure);
  }

  TpmCompanion tpm;
  const std::string noTpm =
      tpm.Prepare(vmxFile, TpmRequested(firmwareSettings), firmware != FirmwareKind::kBios, &host);
  if (!noTpm.empty()) return Fail(noTpm, kExitConfiguration);
  PasstCompanion passt;
  const std::string noPasst = passt.Prepare(NatCards(firmwareSettings), &host);
  if (!noPasst.empty()) return Fail(noPasst, kExitConfiguration);

  QemuInvocation invocation = MapVmxToQemu(config, host);
  if (!invocation.error.empty()) {
    return Fail(ShownText(invocation.error.c_str()) + "\r(" + ShownFileName(vmxFile) + ")",
                kExitConfiguration);
  }
  SystemMachineFiles machineFiles(FindProgram(kQemuImgProgram, DirectoryPart(qemu)));
  const MachineFilePlan plan = PlanMachineFiles(invocation, vmxFile, system_facts::kTemporaryRoot,
                                                system_facts::kPathSeparator, machineFiles);
  if (!plan.refusal.empty()) {
    return Fail(WithName(plan.refusal.c_str(), plan.refusedPath, "'. Nichts gestartet."),
                kExitConfiguration);
  }
  if (plan.AsksUser() && !UserAllowsOutsideFiles(plan, vmxFile)) {
    CloseAllChannels();
    return 0;
  }
  MachineLock lock;
  int lockRefused = 0;
  if (!TakeMachineLock(vmxFile, &lock, &lockRefused)) return lockRefused;
  if (!host.firmwareVariables.empty()) {
    const PrivateCopyResult copy = MakePrivateCopy(uefi.variables, host.firmwareVariables);
    if (copy == PrivateCopyResult::kNotAFile || copy == PrivateCopyResult::kFailed) {
      return Fail(WithName("Der UEFI-Variablenspeicher kann nicht angelegt werden: '",
                           host.firmwareVariables),
                  kExitConfiguration);
    }
  }

  const std::string noTpmState = tpm.OpenState(&host);
  if (!noTpmState.empty()) return Fail(noTpmState, kExitConfiguration);
  // The TPM's socket is now named through its folder's descriptor.
  invocation = MapVmxToQemu(config, host);

  HandedDescriptors held;
  std::vector<HandedFile> handed;
  std::string unopened;
  if (!HandOverFiles(plan, &held, &handed, &unopened)) {
    return Fail(WithName("Die Datei kann nicht ge\xF6"
                         "ffnet werden oder ist nicht mehr, was sie "
                         "bei der Pr\xFC"
                         "fung war: '",
                         unopened),
                kExitConfiguration);
  }
  ProgramEnd end;
  std::string failure;
  int failureCode = 0;
  if (!RunMachine(qemu, PlannedArguments(invocation, plan, handed), held.all(), tpm, passt, &end,
                  &failure, &failureCode)) {
    return Fail(failure, failureCode);
  }
  if (end.stopSignal == 0 && ShouldRetryWithTcg(host.accelerator, end.exitCode, end.seconds)) {
    Tell(kNoticeTitle,
         ShownText(("QEMU mit " + std::string(AcceleratorName(host.accelerator)) +
                    " ist beim Start gescheitert; neuer Versuch mit TCG (Software-Emulation).")
                       .c_str()),
         false);
    host.accelerator = QemuAccelerator::kTcg;
    invocation = MapVmxToQemu(config, host);
    if (!RunMachine(qemu, PlannedArguments(invocation, plan, handed), held.all(), tpm, passt, &end,
                    &failure, &failureCode)) {
      return Fail(failure, failureCode);
    }
  }
  lock.Release();
  const ProgramEndReport report = ReportProgramEnd("QEMU", end);
  if (!report.text.empty()) return Fail(QemuFailure(report, end), report.exitCode);
  CloseAllChannels();
  return report.exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  // No input may end the program through an exception: a .vmx that asks
  // for more memory than there is gets a box and an exit code.
  try {
    return Play(argc, argv);
  } catch (const std::exception&) {
    Tell(kErrorTitle,
         ShownText("Zu wenig Speicher oder ein interner Fehler: die virtuelle Maschine wurde "
                   "nicht gestartet."),
         true);
    return kExitNoMemory;
  }
}
