// The machine's other devices: USB, sound, the floppy drive and how the
// window starts.
#pragma once

#include "player/qemu_invocation.h"
#include "player/vmx_settings.h"

void AddPeripheralArguments(VmxSettings& settings, const QemuHostFacts& host,
                            QemuInvocation& invocation);
