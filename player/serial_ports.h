// Serial ports written to files. QEMU appends to the file (append=on), so
// an existing file is never cut short; the plan checks that the file is
// missing or a regular file.
#pragma once

#include <string>

#include "player/machine_description.h"
#include "player/qemu_arguments.h"
#include "player/vmx_settings.h"

inline constexpr int kSerialPorts = 4;

void DescribeSerialPorts(VmxSettings& settings, const std::string& vmxDirectory, char separator,
                         MachineDescription& machine);
void AddSerialPortArguments(const MachineDescription& machine, QemuInvocation& invocation);
