#include "player/vmx_vmware_state.h"

namespace {

// VMware writes both for an encrypted machine; either alone is enough to
// tell that the disks cannot be read without VMware's key store.
constexpr const char* kEncryptionKeys[] = {"encryption.keySafe", "encryption.data"};

bool Blank(const std::string& value) {
  return value.find_first_not_of(" \t") == std::string::npos;
}

}  // namespace

VmwareState ReadVmwareState(const VmxConfig& config) {
  VmwareState state;
  for (const char* key : kEncryptionKeys) {
    const std::string* value = config.Find(key);
    if (value != nullptr && !Blank(*value)) {
      state.encryptionKey = key;
      break;
    }
  }
  // VMware leaves the key with an empty value once the machine was resumed
  // or its suspended state discarded.
  const std::string* suspended = config.Find("checkpoint.vmState");
  if (suspended != nullptr && !Blank(*suspended)) state.suspendedState = *suspended;
  return state;
}
