#include "player/firmware.h"

#include "platform/ascii_case.h"

FirmwareKind RequestedFirmware(VmxSettings& settings) {
  if (LowerAscii(settings.Text("firmware")) != "efi") return FirmwareKind::kBios;
  return settings.Flag("uefi.secureBoot.enabled", false) ? FirmwareKind::kEfiSecureBoot
                                                         : FirmwareKind::kEfi;
}

void AddFirmwareArguments(VmxSettings& settings, const QemuHostFacts& host,
                          QemuInvocation& invocation) {
  const FirmwareKind kind = RequestedFirmware(settings);
  if (kind == FirmwareKind::kBios) return;
  if (host.firmwareCode.empty() || host.firmwareVariables.empty()) {
    settings.Fail("Die UEFI-Firmware (OVMF) wurde nicht gefunden.");
    return;
  }
  if (kind == FirmwareKind::kEfiSecureBoot) {
    // The Secure Boot build keeps its variables safe from the guest only in
    // system management mode, which q35 offers.
    invocation.Add(
        {"-machine", "q35,smm=on", "-global", "driver=cfi.pflash01,property=secure,value=on"});
  }
  invocation.uses.push_back({host.firmwareVariables, FileAccess::kWrite,
                             FileUseKind::kFirmwareVariables, invocation.arguments.size() + 3});
  invocation.Add(
      {"-drive",
       "if=pflash,unit=0,format=raw,readonly=on,file=" + EscapeQemuOptionValue(host.firmwareCode),
       "-drive",
       "if=pflash,unit=1,format=raw,file=" + EscapeQemuOptionValue(host.firmwareVariables)});
}
