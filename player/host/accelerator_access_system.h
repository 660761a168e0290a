// The system side of the accelerator checks, through one table of function
// pointers that a test may point at stand-ins; restore it from
// kSystemAcceleratorAccessCalls afterwards.
#pragma once

#include <string>

struct AcceleratorAccessSystem {
  // 0 when the file opens for reading and writing, else the system's
  // error number (ENOENT for a missing one).
  int (*openForReadWriteError)(const std::string& path);
  // The system's text for an error number.
  std::string (*errorText)(int error);
  // True when the hypervisor platform answers (Windows only).
  bool (*whpxPresent)();
};

extern AcceleratorAccessSystem acceleratorAccessSystem;
extern const AcceleratorAccessSystem kSystemAcceleratorAccessCalls;
