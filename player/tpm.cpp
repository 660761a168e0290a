#include "player/tpm.h"

#include "player/firmware.h"

bool TpmRequested(VmxSettings& settings) {
  return settings.Flag("vtpm.present", false);
}

void AddTpmArguments(VmxSettings& settings, const QemuHostFacts& host, QemuInvocation& invocation) {
  if (!TpmRequested(settings)) return;
  if (RequestedFirmware(settings) == FirmwareKind::kBios) {
    settings.Fail(
        "Ein TPM 2.0 (vtpm.present) braucht UEFI-Firmware: bitte firmware = \"efi\" in die "
        "Konfiguration schreiben.");
    return;
  }
  if (host.tpmSocket.empty()) {
    settings.Fail("Der TPM-Emulator (swtpm) ist nicht bereit.");
    return;
  }
  invocation.Add({"-chardev", "socket,id=tpmchar0,path=" + EscapeQemuOptionValue(host.tpmSocket),
                  "-tpmdev", "emulator,id=tpm0,chardev=tpmchar0", "-device",
                  "tpm-crb,tpmdev=tpm0"});
  // The player makes the folder and hands it to swtpm; QEMU gets no name of it.
  invocation.uses.push_back(
      {host.tpmStateFolder, FileAccess::kWrite, FileUseKind::kTpmStateFolder, kNoArgument});
}

std::string TpmStateFolderPath(const std::string& vmxFile) {
  return MachineFileBase(vmxFile) + "-tpm";
}

std::vector<std::string> SwtpmArguments(const std::string& stateFolder,
                                        const std::string& socketPath) {
  return {"socket",     "--tpm2",
          "--tpmstate", "dir=" + stateFolder + ",mode=0600",
          "--ctrl",     "type=unixio,path=" + socketPath + ",mode=0600",
          "--terminate"};
}
