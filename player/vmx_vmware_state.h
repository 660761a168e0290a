// What VMware's own products left in a .vmx that QEMU cannot carry on
// with: a machine VMware encrypted (its disks and state are sealed with
// keys kept by VMware) and a machine VMware suspended (what ran in it lies
// in a .vmss that only VMware resumes). Read from the settings alone; the
// files they name are never looked at.
#pragma once

#include <string>

#include "player/vmx_config.h"

struct VmwareState {
  // The encryption setting found (encryption.keySafe, encryption.data);
  // empty when the machine is not encrypted.
  std::string encryptionKey;
  // checkpoint.vmState as written: the suspended state's file; empty when
  // the machine was shut down.
  std::string suspendedState;
};

VmwareState ReadVmwareState(const VmxConfig& config);
