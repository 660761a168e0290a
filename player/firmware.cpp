#include "player/firmware.h"

FileUse UefiStoreUse(const std::string& path) {
  return {path, FileAccess::kWrite, FileUseKind::kFirmwareVariables, "pflash1"};
}

void AddFirmwareArguments(const MachineFacts& facts, const UefiFiles& files,
                          QemuInvocation& invocation) {
  if (!facts.Uefi()) return;
  if (facts.Q35()) {
    invocation.Add(
        {"-machine", "q35,smm=on", "-global", "driver=cfi.pflash01,property=secure,value=on"});
  }
  invocation.Add(
      {"-drive",
       "if=pflash,unit=0,format=raw,readonly=on,file=" + EscapeQemuOptionValue(files.code),
       "-drive"});
  invocation.AddFileName("if=pflash,unit=1,format=raw,file=", files.store, "");
}
