// The machine's drives: ideB:U, sataB:U (AHCI), scsiB:U and nvmeB:U, each
// with present, deviceType, fileName and startConnected; the SATA, SCSI and
// NVMe controllers' own "present" as VMware reads it. The first connected
// CD image boots first, then the first disk; a machine with neither is
// refused.
#pragma once

#include <string>

#include "player/qemu_invocation.h"
#include "player/vmx_settings.h"

void AddDriveArguments(VmxSettings& settings, const QemuHostFacts& host,
                       QemuInvocation& invocation);

// The QEMU controller nearest to VMware's scsiB.virtualDev.
std::string ScsiControllerModel(const std::string& virtualDev);
