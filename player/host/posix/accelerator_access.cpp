// The accelerator on Linux: KVM, if /dev/kvm opens; there is no WHPX.
#include <errno.h>
#include <fcntl.h>
#include <string.h>

#include "platform/posix/system_handles.h"
#include "player/host/accelerator_access.h"
#include "player/host/accelerator_access_system.h"

namespace {

int OpenForReadWriteError(const std::string& path) {
  Descriptor fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
  return fd.get() >= 0 ? 0 : errno;
}

std::string ErrorText(int error) {
  // In the user's language once GTK has set the locale.
  return strerror(error);
}

bool WhpxPresent() {
  return false;
}

}  // namespace

const AcceleratorAccessSystem kSystemAcceleratorAccessCalls = {OpenForReadWriteError, ErrorText,
                                                               WhpxPresent};
