// The UEFI files on Windows: the edk2 files that QEMU's Windows build
// carries in its share folder, and a copy that never replaces a file.
#include <windows.h>

#include "platform/command_line.h"
#include "player/host/uefi_files.h"
#include "player/host/uefi_files_system.h"

UefiFirmware UefiFirmwareCandidates(bool secureBoot, const std::string& qemuProgram) {
  // The i386 vars template is the one its x86_64 code uses.
  const std::string share = DirectoryPart(qemuProgram) + "share\\";
  return {share + (secureBoot ? "edk2-x86_64-secure-code.fd" : "edk2-x86_64-code.fd"),
          share + "edk2-i386-vars.fd"};
}

namespace {

bool IsPlainFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

bool NameTaken(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CopyToNewFile(const std::string& source, const std::string& target) {
  // CopyFileA with bFailIfExists never replaces what is there.
  if (CopyFileA(source.c_str(), target.c_str(), TRUE)) {
    // The copy of a read-only system file would be read-only too.
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    return true;
  }
  return false;
}

}  // namespace

const UefiFilesSystem kSystemUefiFilesCalls = {IsPlainFile, NameTaken, CopyToNewFile};
