// The machine's drives: ideB:U, sataB:U (AHCI), scsiB:U and nvmeB:U, each
// with present, deviceType, fileName and startConnected; the SATA, SCSI and
// NVMe controllers' own "present" as VMware reads it. A deviceType of disk,
// ata-hardDisk, scsi-hardDisk or none is a disk, cdrom-image a CD image,
// cdrom-raw and atapi-cdrom an empty CD drive; any other value, and a drive
// on SCSI unit 7, refuse the configuration. The first connected CD image
// boots first, then the first disk; a machine with neither is refused.
#pragma once

#include <string>

#include "player/machine_description.h"
#include "player/machine_facts.h"
#include "player/qemu_arguments.h"
#include "player/vmx_settings.h"

// Reads the drives into `machine`: each file a use (relative names in
// `vmxDirectory`), the boot order and the CD that boots first.
void DescribeDrives(VmxSettings& settings, const std::string& vmxDirectory, char separator,
                    MachineDescription& machine);

// The controllers, each drive's image as its own block nodes and the
// devices; where they sit depends on the firmware (q35, OVMF).
void AddDriveArguments(const MachineDescription& machine, const MachineFacts& facts,
                       QemuInvocation& invocation);

// Where VMware's SCSI unit (0 to 15 but 7) sits on QEMU adapters of
// `model`: the number of the adapter (0 is VMware's own, 1 and 2 are added
// after it) and the target on it, one that QEMU accepts and the firmware
// boots from.
struct ScsiPlace {
  int adapter;
  int target;
  bool operator==(const ScsiPlace& other) const {
    return adapter == other.adapter && target == other.target;
  }
};
ScsiPlace PlaceOnScsi(const std::string& model, int unit);

// The QEMU controller nearest to VMware's scsiB.virtualDev.
std::string ScsiControllerModel(const std::string& virtualDev);
