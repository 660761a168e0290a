// The machine's firmware: SeaBIOS (QEMU's default) or OVMF as two pflash
// units, the code read-only and the variables in the machine's own store.
#pragma once

#include <string>

#include "player/machine_facts.h"
#include "player/qemu_arguments.h"

struct UefiFiles {
  std::string code;       // the system's firmware, read only
  std::string variables;  // the machine's own variable store beside its .vmx
};

// For UEFI the store becomes a use of its own (written, fed to pflash
// unit 1); without both files UEFI is refused.
void AddFirmwareArguments(const MachineFacts& facts, const UefiFiles& files,
                          QemuInvocation& invocation);
