#include <windows.h>

#include "platform/file_channels.h"
#include "platform/file_channels_system.h"
#include "platform/win32/system_handles.h"

namespace {

// The room of a path in the ANSI file functions; a longer name would be
// cut and then name a different file.
constexpr std::size_t kPathRoom = MAX_PATH;

SystemFile ToSystemFile(HANDLE handle) {
  // Both count as failure; a zero handle is never a channel's file.
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return kNoSystemFile;
  return reinterpret_cast<SystemFile>(handle);
}

HANDLE ToHandle(SystemFile file) {
  return reinterpret_cast<HANDLE>(file);
}

HANDLE CreateChannelFile(const std::string& fileName, DWORD access, DWORD shareMode,
                         DWORD disposition, DWORD flags) {
  return CreateFileA(fileName.c_str(), access, shareMode, nullptr, disposition, flags, nullptr);
}

std::int64_t QueryDriveSize(std::string drive) {
  if (drive.size() == 2) drive += '\\';
  return GetDriveTypeA(drive.c_str()) > DRIVE_NO_ROOT_DIR ? -2 : -1;
}

}  // namespace

SystemFile OpenSystemFile(const std::string& fileName, ChannelOpenMode mode) {
  constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
  switch (mode) {
    case ChannelOpenMode::kReadShared:
      return ToSystemFile(CreateChannelFile(fileName, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL));
    case ChannelOpenMode::kCreate:
      return ToSystemFile(CreateChannelFile(fileName, kReadWrite, FILE_SHARE_READ, OPEN_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL));
    case ChannelOpenMode::kCreateEmpty: {
      HANDLE handle = CreateChannelFile(fileName, kReadWrite, FILE_SHARE_READ, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL);
      // Once more for writing alone: a hidden or system file refuses
      // CREATE_ALWAYS with normal attributes but can still be emptied.
      if (handle == INVALID_HANDLE_VALUE) {
        handle = CreateChannelFile(fileName, GENERIC_WRITE, FILE_SHARE_READ, TRUNCATE_EXISTING, 0);
      }
      return ToSystemFile(handle);
    }
    case ChannelOpenMode::kExclusive:
      return ToSystemFile(
          CreateChannelFile(fileName, kReadWrite, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
  }
  return kNoSystemFile;
}

std::int32_t ReadSystemFile(SystemFile file, void* destination, std::int32_t length) {
  DWORD got = 0;
  if (!ReadFile(ToHandle(file), destination, static_cast<DWORD>(length), &got, nullptr)) return -1;
  return static_cast<std::int32_t>(got);
}

std::int32_t WriteSystemFile(SystemFile file, const void* bytes, std::int32_t length) {
  DWORD written = 0;
  const BOOL ok = WriteFile(ToHandle(file), bytes, static_cast<DWORD>(length), &written, nullptr);
  if (!ok && written == 0) return -1;
  return static_cast<std::int32_t>(written);
}

bool MoveSystemFilePosition(SystemFile file, std::int32_t distance) {
  // With the high part given, positions beyond 4 GiB stay reachable.
  LONG high = distance < 0 ? -1 : 0;
  SetLastError(NO_ERROR);
  const DWORD low = SetFilePointer(ToHandle(file), distance, &high, FILE_CURRENT);
  return low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;
}

void CloseSystemFile(SystemFile file) {
  CloseHandle(ToHandle(file));
}

// A disk file is FILE_TYPE_DISK; a pipe, console or device is not. A
// directory never opens on a channel.
bool IsRegularSystemFile(SystemFile file) {
  return GetFileType(ToHandle(file)) == FILE_TYPE_DISK;
}

std::int64_t QueryFileSize(const std::string& fileName) {
  if (fileName.empty() || fileName.size() > kPathRoom) return -1;
  std::string name = fileName;
  if ((name.size() == 2 || name.size() == 3) && name[1] == ':') return QueryDriveSize(name);
  // A search for a directory name with a separator at its end finds nothing.
  name.erase(name.find_last_not_of('\\') + 1);
  if (name.empty()) return -1;

  WIN32_FIND_DATAA found;
  const FileSearch search(name, found);
  if (search.Found()) {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -2;
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) |
                                     found.nFileSizeLow);
  }
  // The root of a network share is a directory that the search does not find.
  if (name.rfind("\\\\", 0) == 0) {
    const DWORD attributes = GetFileAttributesA(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return -2;
    }
  }
  return -1;
}

bool RemoveFile(const std::string& fileName) {
  return !fileName.empty() && DeleteFileA(fileName.c_str()) != 0;
}
