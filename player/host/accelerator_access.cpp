#include "player/host/accelerator_access.h"

#include <cerrno>

#include "player/host/accelerator_access_system.h"

AcceleratorAccessSystem acceleratorAccessSystem = kSystemAcceleratorAccessCalls;

KvmAccess CheckKvm() {
  // Windows has no /dev/kvm; it is missing there.
  KvmAccess access;
  const int error = acceleratorAccessSystem.openForReadWriteError("/dev/kvm");
  access.usable = error == 0;
  if (error != 0 && error != ENOENT) {
    access.refusal = acceleratorAccessSystem.errorText(error);
    access.permissionDenied = error == EACCES || error == EPERM;
  }
  return access;
}

bool WhpxUsable() {
  return acceleratorAccessSystem.whpxPresent();
}
