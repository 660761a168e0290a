#include "player/host/uefi_files.h"

#include "platform/file_kind.h"
#include "player/host/uefi_files_system.h"

UefiFilesSystem uefiFilesSystem = kSystemUefiFilesCalls;

UefiFirmware FindUefiFirmware(bool secureBoot, const std::string& qemuProgram) {
  const UefiFirmware found = UefiFirmwareCandidates(secureBoot, qemuProgram);
  // The system's own files may be links (Debian links the 4M builds).
  if (KindOfFile(found.code) != FileKind::kRegular ||
      KindOfFile(found.variables) != FileKind::kRegular) {
    return {};
  }
  return found;
}

PrivateCopyResult MakePrivateCopy(const std::string& source, const std::string& target) {
  if (uefiFilesSystem.isPlainFile(target)) return PrivateCopyResult::kKept;
  if (uefiFilesSystem.nameTaken(target)) return PrivateCopyResult::kNotAFile;
  return uefiFilesSystem.copyToNewFile(source, target) ? PrivateCopyResult::kMade
                                                       : PrivateCopyResult::kFailed;
}
