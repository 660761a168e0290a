// The machine's other devices: network cards, USB, sound, the floppy drive
// and how the window starts.
#pragma once

#include "player/machine_description.h"
#include "player/machine_facts.h"
#include "player/vmx_settings.h"

inline constexpr int kEthernetCards = 4;

void DescribeDevices(VmxSettings& settings, MachineDescription& machine);
void AddNetworkArguments(const MachineDescription& machine, QemuInvocation& invocation);
void AddPeripheralArguments(const MachineDescription& machine, const HostFacts& host,
                            QemuInvocation& invocation);
