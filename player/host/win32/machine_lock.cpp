// The machine lock's calls on Windows: CreateDirectoryA and CreateFileA
// with CREATE_NEW, which fail on any name that is taken, a link's or a
// junction's included; nothing marked as a reparse point is entered.
#include <windows.h>

#include <string>

#include "platform/win32/system_handles.h"
#include "player/host/machine_lock_system.h"

namespace {

constexpr DWORD kOwnerRecordLimit = 64;

LockDirectoryStep MakeDirectory(const std::string& path) {
  if (CreateDirectoryA(path.c_str(), nullptr)) return LockDirectoryStep::kMade;
  return GetLastError() == ERROR_ALREADY_EXISTS ? LockDirectoryStep::kExists
                                                : LockDirectoryStep::kFailed;
}

bool IsPlainDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

std::string Inside(const std::string& path, const std::string& name) {
  return path + "\\" + name;
}

bool WriteOwnerFile(const std::string& path, const std::string& name, const std::string& record,
                    std::intptr_t* hold) {
  if (!IsPlainDirectory(path)) return false;
  const std::string file = Inside(path, name);
  HANDLE owner = CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (owner == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool whole =
      WriteFile(owner, record.data(), static_cast<DWORD>(record.size()), &written, nullptr) &&
      written == record.size();
  const bool closed = CloseHandle(owner) != 0;
  if (!whole || !closed) {
    DeleteFileA(file.c_str());
    return false;
  }
  *hold = -1;
  return true;
}

bool ReadOwnerFile(const std::string& path, const std::string& name, std::string* record) {
  if (!IsPlainDirectory(path)) return false;
  const std::string file = Inside(path, name);
  const DWORD attributes = GetFileAttributesA(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return false;
  }
  HANDLE owner = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (owner == INVALID_HANDLE_VALUE) return false;
  ScopedHandle ownerHandle(owner);
  char buffer[kOwnerRecordLimit];
  DWORD count = 0;
  if (!ReadFile(owner, buffer, sizeof buffer, &count, nullptr)) return false;
  record->assign(buffer, count);
  return true;
}

bool RemoveLock(const std::string& path, const std::string& name, std::intptr_t hold) {
  (void)hold;
  if (!IsPlainDirectory(path)) return false;
  DeleteFileA(Inside(path, name).c_str());
  return RemoveDirectoryA(path.c_str()) != 0;
}

bool ProcessRuns(std::uint32_t pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  // No such process; any other refusal (another user's) means it runs.
  if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
  ScopedHandle owner(process);
  DWORD code = 0;
  // A handle someone keeps open holds an ended process's object.
  return !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
}

std::uint32_t CurrentProcess() {
  return GetCurrentProcessId();
}

}  // namespace

const MachineLockSystem kSystemMachineLockCalls = {MakeDirectory, IsPlainDirectory, WriteOwnerFile,
                                                   ReadOwnerFile, RemoveLock,       ProcessRuns,
                                                   CurrentProcess};
