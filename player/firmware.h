// The machine's firmware: SeaBIOS (QEMU's default) or OVMF as two pflash
// units, the code read-only and the variables in the machine's own store.
#pragma once

#include <cstddef>
#include <string>

#include "player/file_use.h"
#include "player/machine_description.h"
#include "player/machine_facts.h"
#include "player/qemu_arguments.h"

// What the player made for a UEFI machine: both are there before anything
// is rendered.
struct UefiFiles {
  std::string code;            // the system's firmware, read only
  std::size_t store = kNoUse;  // the plan's use of the machine's own variable store
};

// The use of the machine's variable store at `path` beside its .vmx:
// written, fed to pflash unit 1.
FileUse UefiStoreUse(const std::string& path);

// Nothing for BIOS; for UEFI the firmware's code and the store's use.
void AddFirmwareArguments(const MachineFacts& facts, const UefiFiles& files,
                          QemuInvocation& invocation);
