#include "player/firmware.h"

void AddFirmwareArguments(const MachineFacts& facts, const UefiFiles& files,
                          QemuInvocation& invocation) {
  if (!facts.Uefi()) return;
  if (files.code.empty() || files.variables.empty()) {
    if (invocation.error.empty())
      invocation.error = "Die UEFI-Firmware (OVMF) wurde nicht gefunden.";
    return;
  }
  if (facts.Q35()) {
    invocation.Add(
        {"-machine", "q35,smm=on", "-global", "driver=cfi.pflash01,property=secure,value=on"});
  }
  const std::size_t store = invocation.AddUse(
      {files.variables, FileAccess::kWrite, FileUseKind::kFirmwareVariables, "pflash1"});
  invocation.Add(
      {"-drive",
       "if=pflash,unit=0,format=raw,readonly=on,file=" + EscapeQemuOptionValue(files.code),
       "-drive"});
  invocation.AddFileName("if=pflash,unit=1,format=raw,file=", store, "");
}
