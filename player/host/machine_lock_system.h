// The system side of the machine lock: the few calls it makes, through one
// table of function pointers that a test may point at stand-ins; restore it
// from kSystemMachineLockCalls afterwards.
#pragma once

#include <cstdint>
#include <string>

enum class LockDirectoryStep { kMade, kExists, kFailed };

struct MachineLockSystem {
  // Creates the directory new; never through a link.
  LockDirectoryStep (*makeDirectory)(const std::string& path);
  // True when `path` is a directory and no link (nor junction).
  bool (*isPlainDirectory)(const std::string& path);
  // Creates the file `name` new inside the directory `path` (neither
  // followed if a link) with `record`; `hold` gets what the lock keeps open
  // until removeLock (-1 for nothing).
  bool (*writeOwnerFile)(const std::string& path, const std::string& name,
                         const std::string& record, std::intptr_t* hold);
  // The first bytes of the file `name` in `path`, when it is a plain file.
  bool (*readOwnerFile)(const std::string& path, const std::string& name, std::string* record);
  // Removes the file `name` from `path` (through `hold` when there is one),
  // then the directory, and lets go of `hold`. False when the directory
  // stays (it holds more).
  bool (*removeLock)(const std::string& path, const std::string& name, std::intptr_t hold);
  // True unless the process is known to be gone (it may be another user's).
  bool (*processRuns)(std::uint32_t pid);
  std::uint32_t (*currentProcess)();
};

extern MachineLockSystem machineLockSystem;
extern const MachineLockSystem kSystemMachineLockCalls;
