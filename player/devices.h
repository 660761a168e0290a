// The machine's other devices: network cards, USB, sound, the floppy drive
// and how the window starts.
#pragma once

#include "player/qemu_invocation.h"
#include "player/vmx_settings.h"

inline constexpr int kEthernetCards = 4;

void AddNetworkArguments(VmxSettings& settings, QemuInvocation& invocation);
void AddPeripheralArguments(VmxSettings& settings, const QemuHostFacts& host,
                            QemuInvocation& invocation);
