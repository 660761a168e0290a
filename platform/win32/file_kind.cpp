#include <windows.h>

#include "platform/file_kind.h"

namespace {

// "\\.\D:" or "\\.\CdRom0": a device the system opens like a file; a
// physical CD drive is named this way.
bool IsDevicePath(const std::string& path) {
  return path.rfind("\\\\.\\", 0) == 0;
}

}  // namespace

FileKind KindOfFile(const std::string& path) {
  if (path.empty()) return FileKind::kMissing;
  if (IsDevicePath(path)) {
    const HANDLE device = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return FileKind::kMissing;
    CloseHandle(device);
    return FileKind::kBlockDevice;
  }
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::kMissing;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileKind::kDirectory;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return FileKind::kOther;
  return FileKind::kRegular;
}
