// trennwick-player FILE.vmx: boots the virtual machine of a VMware
// configuration in QEMU and ends with QEMU's exit code. On Windows,
// --register and --unregister set up or remove the current user's .vmx
// association with this program.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/dialogs.h"
#include "platform/file_association.h"
#include "platform/file_channels.h"
#include "platform/player_host.h"
#include "platform/system.h"
#include "player/qemu_invocation.h"
#include "player/vmx_config.h"

namespace {

constexpr char kErrorTitle[] = "Fehler";
constexpr char kQemuProgram[] = "qemu-system-x86_64";
constexpr char kVmxExtension[] = ".vmx";
constexpr char kProgId[] = "Trennwick.Player.vmx";

// Exit codes of the player's own failures; QEMU's code is passed on.
constexpr int kExitUsage = 2;
constexpr int kExitConfiguration = 3;
constexpr int kExitNoQemu = 4;

int Fail(const std::string& text, int exitCode) {
  ShowMessage(kErrorTitle, text, 0);
  CloseAllChannels();
  return exitCode;
}

std::string OpenCommand() {
  // Built in steps: g++ 12 warns falsely on literal + temporary here.
  std::string command = "\"";
  command += ProgramFilePath();
  command += "\" \"%1\"";
  return command;
}

int Associate(bool registering) {
  const AssociationResult result =
      registering ? RegisterFileAssociation(kVmxExtension, kProgId, OpenCommand())
                  : UnregisterFileAssociation(kVmxExtension, kProgId, OpenCommand());
  switch (result) {
    case AssociationResult::kDone:
      return 0;
    case AssociationResult::kHandlerExists:
      return Fail("F\xFCr .vmx-Dateien ist schon ein Programm eingetragen; nichts ge\xE4ndert.", 1);
    case AssociationResult::kNotOurs:
      return Fail(
          "Die Zuordnung der .vmx-Dateien stammt nicht von diesem Programm; nichts "
          "ge\xE4ndert.",
          1);
    case AssociationResult::kNotSupported:
      return Fail("Die Zuordnung von .vmx-Dateien wird auf diesem System nicht unterst\xFCtzt.",
                  kExitUsage);
    case AssociationResult::kFailed:
      break;
  }
  return Fail("Die Zuordnung der .vmx-Dateien konnte nicht ge\xE4ndert werden.", 1);
}

std::string FindQemu() {
  return FindProgram(kQemuProgram, DirectoryPart(ProgramFilePath()));
}

}  // namespace

int main(int argc, char** argv) {
  InitChannelTable();
  InitDialogServices();
  const std::vector<std::string> parameters(argv + 1, argv + argc);
  if (parameters.size() == 1 && parameters[0] == "--register") return Associate(true);
  if (parameters.size() == 1 && parameters[0] == "--unregister") return Associate(false);
  if (parameters.size() != 1 || parameters[0].empty()) {
    return Fail("Aufruf: trennwick-player DATEI.vmx", kExitUsage);
  }

  const std::string& vmxFile = parameters[0];
  VmxConfig config;
  if (ReadVmxFile(vmxFile, config) != VmxReadResult::kRead) {
    return Fail("Kann die Konfiguration nicht lesen: '" + vmxFile + "'.", kExitConfiguration);
  }
  if (config.settings.empty()) {
    return Fail("Die Konfiguration ist leer: '" + vmxFile + "'.", kExitConfiguration);
  }

  QemuHostFacts host;
  host.kvm = HardwareAccelerationUsable();
  host.display = GraphicalDisplayPresent();
  host.audioBackend = DefaultAudioDriver();
  host.vmxDirectory = DirectoryPart(vmxFile);
  host.separator = system_facts::kPathSeparator;
  const QemuInvocation invocation = MapVmxToQemu(config, host);
  if (!invocation.error.empty()) {
    return Fail(invocation.error + "\r(" + vmxFile + ")", kExitConfiguration);
  }
  for (const std::string& file : invocation.mediaFiles) {
    if (QueryFileSize(file) < 0) {
      return Fail("Das Abbild wurde nicht gefunden: '" + file + "'.", kExitConfiguration);
    }
  }

  const std::string qemu = FindQemu();
  if (qemu.empty()) {
    return Fail(
        "QEMU wurde nicht gefunden. Bitte QEMU installieren (qemu-system-x86_64 im "
        "Suchpfad oder neben diesem Programm).",
        kExitNoQemu);
  }
  std::int32_t exitCode = 0;
  if (!RunProgramToEnd(qemu, invocation.arguments, &exitCode)) {
    return Fail("QEMU konnte nicht gestartet werden: '" + qemu + "'.", kExitNoQemu);
  }
  CloseAllChannels();
  return exitCode;
}
