// The UEFI firmware files of the host and the machine's own copy of the
// variable store template. Failures are results; nothing is shown to the
// user.
#pragma once

#include <string>

// UEFI firmware files: the code and the template of the variable store.
struct UefiFirmware {
  std::string code;
  std::string variables;
};
// Looks for the firmware, the Secure Boot build or the plain one: on Linux
// the ovmf package's files, on Windows those in the share folder beside
// QEMU (`qemuProgram`). Empty fields when they are not both there.
UefiFirmware FindUefiFirmware(bool secureBoot, const std::string& qemuProgram);

enum class PrivateCopyResult { kMade, kKept, kNotAFile, kFailed };
// Gives `target` the bytes of `source` when `target` is missing (created
// new, never through a link). An existing regular file that is no link is
// kept as it is; anything else there is refused.
PrivateCopyResult MakePrivateCopy(const std::string& source, const std::string& target);
