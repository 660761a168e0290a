// trennwick-player FILE.vmx: boots the virtual machine of a VMware
// configuration in QEMU and ends with QEMU's exit code. On Windows,
// --register and --unregister set up or remove the current user's .vmx
// association with this program; --silent after either reports on stderr
// only, for installers.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/dialogs.h"
#include "platform/file_association.h"
#include "platform/file_channels.h"
#include "platform/file_kind.h"
#include "platform/player_host.h"
#include "platform/shown_text.h"
#include "platform/system.h"
#include "player/accelerator.h"
#include "player/firmware.h"
#include "player/qemu_invocation.h"
#include "player/vmx_config.h"
#include "player/vmx_settings.h"

namespace {

constexpr char kErrorTitle[] = "Fehler";
constexpr char kNoticeTitle[] = "Trennwick-Player";
constexpr char kQemuProgram[] = "qemu-system-x86_64";
constexpr char kVmxExtension[] = ".vmx";
constexpr char kProgId[] = "Trennwick.Player.vmx";
constexpr char kVmxTypeName[] = "VMware-Konfiguration";
constexpr char kAcceleratorVariable[] = "TRENNWICK_PLAYER_ACCEL";

// Exit codes of the player's own failures; QEMU's code is passed on.
constexpr int kExitUsage = 2;
constexpr int kExitConfiguration = 3;
constexpr int kExitNoQemu = 4;
constexpr int kExitNoDisplay = 5;

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

// Empty when every file the machine uses is of the kind its use allows;
// else the message. Nothing is opened here.
std::string CheckMediaFiles(const std::vector<MediaFile>& files) {
  for (const MediaFile& file : files) {
    const FileKind kind = KindOfFile(file.path);
    switch (file.use) {
      case MediaUse::kCdImage:
        if (kind == FileKind::kRegular || kind == FileKind::kBlockDevice) continue;
        break;
      case MediaUse::kDiskImage:
        if (kind == FileKind::kRegular) continue;
        break;
      case MediaUse::kSerialOutput:
        if (kind == FileKind::kRegular || kind == FileKind::kMissing) continue;
        return WithName("Die Ausgabe der seriellen Schnittstelle ist keine gew\xF6hnliche Datei: '",
                        file.path);
    }
    if (kind == FileKind::kMissing)
      return WithName("Das Abbild wurde nicht gefunden: '", file.path);
    return WithName(file.use == MediaUse::kCdImage
                        ? "Das CD-Abbild ist weder eine Datei noch ein CD-Laufwerk: '"
                        : "Das Festplatten-Abbild ist keine gew\xF6hnliche Datei: '",
                    file.path);
  }
  return {};
}

// The machine's own UEFI variable store lies beside its configuration, so
// that it goes with a temporary directory and the system's file stays as
// it is.
std::string VariableStorePath(const std::string& vmxFile, bool secureBoot) {
  std::string base = vmxFile;
  if (base.size() > 4 && LowerAscii(base.substr(base.size() - 4)) == kVmxExtension) {
    base.resize(base.size() - 4);
  }
  return base + (secureBoot ? "-efivars-secure.fd" : "-efivars.fd");
}

std::string QemuFailure(const ProgramEnd& end) {
  std::string text = ShownText(
      ("QEMU ist mit dem Code " + std::to_string(end.exitCode) + " beendet worden.").c_str());
  // QEMU writes in the system's display encoding; a stray byte must not
  // spoil the box.
  if (!end.errorTail.empty()) text += "\r\r" + ShownFileName(end.errorTail);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
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
  const FileKind vmxKind = KindOfFile(vmxFile);
  if (vmxKind != FileKind::kRegular && vmxKind != FileKind::kMissing) {
    return Fail(WithName("Die Konfiguration ist keine gew\xF6hnliche Datei: '", vmxFile),
                kExitConfiguration);
  }
  VmxConfig config;
  if (vmxKind != FileKind::kRegular || ReadVmxFile(vmxFile, config) != VmxReadResult::kRead) {
    return Fail(WithName("Kann die Konfiguration nicht lesen: '", vmxFile), kExitConfiguration);
  }
  if (config.settings.empty()) {
    return Fail(WithName("Die Konfiguration ist leer: '", vmxFile), kExitConfiguration);
  }

  QemuHostFacts host;
  const std::string override = EnvironmentText(kAcceleratorVariable);
  const bool kvm = override.empty() && KvmUsable();
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
  if (qemu.empty()) {
    return Fail(ShownText("QEMU wurde nicht gefunden. Bitte QEMU installieren "
                          "(qemu-system-x86_64 im Suchpfad oder neben diesem Programm)."),
                kExitNoQemu);
  }

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

  QemuInvocation invocation = MapVmxToQemu(config, host);
  if (!invocation.error.empty()) {
    return Fail(ShownText(invocation.error.c_str()) + "\r(" + ShownFileName(vmxFile) + ")",
                kExitConfiguration);
  }
  const std::string unfit = CheckMediaFiles(invocation.mediaFiles);
  if (!unfit.empty()) return Fail(unfit, kExitConfiguration);
  if (!host.firmwareVariables.empty()) {
    const PrivateCopyResult copy = MakePrivateCopy(uefi.variables, host.firmwareVariables);
    if (copy == PrivateCopyResult::kNotAFile || copy == PrivateCopyResult::kFailed) {
      return Fail(WithName("Der UEFI-Variablenspeicher kann nicht angelegt werden: '",
                           host.firmwareVariables),
                  kExitConfiguration);
    }
  }

  ProgramEnd end;
  if (!RunProgramToEnd(qemu, invocation.arguments, &end)) {
    return Fail(WithName("QEMU konnte nicht gestartet werden: '", qemu), kExitNoQemu);
  }
  if (ShouldRetryWithTcg(host.accelerator, end.exitCode, end.seconds)) {
    Tell(kNoticeTitle,
         ShownText(("QEMU mit " + std::string(AcceleratorName(host.accelerator)) +
                    " ist beim Start gescheitert; neuer Versuch mit TCG (Software-Emulation).")
                       .c_str()),
         false);
    host.accelerator = QemuAccelerator::kTcg;
    invocation = MapVmxToQemu(config, host);
    if (!RunProgramToEnd(qemu, invocation.arguments, &end)) {
      return Fail(WithName("QEMU konnte nicht gestartet werden: '", qemu), kExitNoQemu);
    }
  }
  if (end.exitCode != 0) return Fail(QemuFailure(end), end.exitCode);
  CloseAllChannels();
  return 0;
}
