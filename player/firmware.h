// The machine's firmware: SeaBIOS (QEMU's default) or, for
// firmware = "efi", OVMF as two pflash units, the code read-only and the
// variables in the machine's own copy.
#pragma once

#include "player/qemu_invocation.h"
#include "player/vmx_settings.h"

enum class FirmwareKind {
  kBios,
  kEfi,
  kEfiSecureBoot,  // uefi.secureBoot.enabled: the q35 machine with SMM
};

FirmwareKind RequestedFirmware(VmxSettings& settings);

// Needs host.firmwareCode and host.firmwareVariables for UEFI; without them
// the configuration is refused.
void AddFirmwareArguments(VmxSettings& settings, const QemuHostFacts& host,
                          QemuInvocation& invocation);
