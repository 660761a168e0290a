// The machine's other devices: USB, sound, the floppy drive and how the
// window starts.
#pragma once

#include "player/machine_description.h"
#include "player/machine_facts.h"
#include "player/qemu_arguments.h"
#include "player/vmx_settings.h"

void DescribeDevices(VmxSettings& settings, MachineDescription& machine);
void AddPeripheralArguments(const MachineDescription& machine, const HostFacts& host,
                            QemuInvocation& invocation);
