// Serial ports written to files. QEMU appends to the file (append=on), so
// an existing file is never cut short; the caller checks that the file is
// missing or a regular file.
#pragma once

#include "player/qemu_invocation.h"
#include "player/vmx_settings.h"

inline constexpr int kSerialPorts = 4;

void AddSerialPortArguments(VmxSettings& settings, const QemuHostFacts& host,
                            QemuInvocation& invocation);
