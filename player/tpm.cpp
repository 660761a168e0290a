#include "player/tpm.h"

#include "platform/ascii_case.h"

std::string TpmRefusal(const MachineFacts& facts) {
  if (!facts.tpm || facts.Uefi()) return {};
  return "Ein TPM 2.0 (vtpm.present) braucht UEFI-Firmware: bitte firmware = \"efi\" in die "
         "Konfiguration schreiben.";
}

void AddTpmArguments(const MachineFacts& facts, const std::string& socket,
                     QemuInvocation& invocation) {
  if (!facts.tpm) return;
  invocation.Add({"-chardev", "socket,id=tpmchar0,path=" + EscapeQemuOptionValue(socket), "-tpmdev",
                  "emulator,id=tpm0,chardev=tpmchar0", "-device", "tpm-crb,tpmdev=tpm0"});
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

std::string MachineFileBase(const std::string& vmxFile) {
  constexpr std::string_view kVmxExtension = ".vmx";
  std::string base = vmxFile;
  if (base.size() > kVmxExtension.size() && EndsWithIgnoringAsciiCase(base, kVmxExtension)) {
    base.resize(base.size() - kVmxExtension.size());
  }
  return base;
}
