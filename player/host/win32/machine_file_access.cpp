// The machine's files on Windows: full and final paths for placement, the
// owner's SID and the DACL for the launcher's own folders, CreateProcessA for qemu-img.
// QEMU gets names here, as it opens them itself.
#include <aclapi.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/path_names.h"
#include "platform/win32/system_handles.h"
#include "player/host/machine_file_access.h"
#include "player/host/win32/windows_command_line.h"

namespace {

bool FullPath(const std::string& path, std::string* full) {
  char buffer[MAX_PATH];
  char* name = nullptr;
  const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, buffer, &name);
  if (length == 0 || length >= MAX_PATH) return false;
  *full = buffer;
  return true;
}

// The path of an existing file as the system holds it, links and
// junctions resolved; "\\?\" taken off, "\\?\UNC\" given back as "\\".
bool FinalPath(const std::string& path, std::string* final) {
  const HANDLE file =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  ScopedHandle owner(file);
  char buffer[MAX_PATH + 8];
  const DWORD length = GetFinalPathNameByHandleA(file, buffer, sizeof buffer, VOLUME_NAME_DOS);
  if (length == 0 || length >= sizeof buffer) return false;
  std::string text(buffer, length);
  if (text.rfind("\\\\?\\UNC\\", 0) == 0) {
    text = "\\\\" + text.substr(8);
  } else if (text.rfind("\\\\?\\", 0) == 0) {
    text = text.substr(4);
  }
  *final = text;
  return true;
}

}  // namespace

bool ResolveFilePath(const std::string& path, std::string* resolved) {
  std::string full;
  if (path.empty() || !FullPath(path, &full)) return false;
  if (GetFileAttributesA(full.c_str()) != INVALID_FILE_ATTRIBUTES) {
    if (!FinalPath(full, resolved)) *resolved = full;
    return true;
  }
  const std::string folderPart = FolderOfPath(full, '\\');
  if (folderPart.empty()) return false;
  std::string folder;
  if (!FinalPath(folderPart, &folder)) return false;
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  *resolved = folder + std::string(LastPathName(full, '\\'));
  return true;
}

namespace {

// Rights that let a holder change what lies in a folder or who may.
constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                        FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE |
                                        WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return IsWellKnownSid(sid, type) != FALSE;
}

// True when no entry of `dacl` lets anyone but `user`, SYSTEM and the
// Administrators change the folder: the counterpart of a mode without
// group or other write bits. No DACL at all lets everyone in.
bool OnlyTheseMayChange(PACL dacl, PSID user) {
  if (dacl == nullptr) return false;
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* entry = nullptr;
    if (!GetAce(dacl, index, &entry)) return false;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if ((allowed->Mask & kChangingRights) == 0) continue;
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if (EqualSid(sid, user) || IsWellKnown(sid, WinLocalSystemSid) ||
        IsWellKnown(sid, WinBuiltinAdministratorsSid)) {
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

bool PrivateToCurrentUser(const std::string& path) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                            &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool private_ = false;
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    ScopedHandle tokenOwner(token);
    char buffer[256];
    DWORD length = 0;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length)) {
      const PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
      private_ = EqualSid(user, owner) != 0 && OnlyTheseMayChange(dacl, user);
    }
  }
  LocalFree(descriptor);
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return private_ && attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

SmallFileResult ReadSmallFile(const std::string& path, std::size_t limit, std::string* bytes) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return SmallFileResult::kCannotOpen;
  ScopedHandle owner(file);
  if (GetFileType(file) != FILE_TYPE_DISK) return SmallFileResult::kNotAFile;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) return SmallFileResult::kReadFailed;
  if (static_cast<unsigned long long>(size.QuadPart) > limit) return SmallFileResult::kTooLarge;
  bytes->clear();
  char buffer[65536];
  DWORD count = 0;
  while (true) {
    if (!ReadFile(file, buffer, sizeof buffer, &count, nullptr))
      return SmallFileResult::kReadFailed;
    if (count == 0) return SmallFileResult::kRead;
    if (bytes->size() + count > limit) return SmallFileResult::kTooLarge;
    bytes->append(buffer, count);
  }
}

bool ReadFileStart(const std::string& path, std::size_t count, std::string* bytes) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  ScopedHandle owner(file);
  if (GetFileType(file) != FILE_TYPE_DISK) return false;
  bytes->assign(count, '\0');
  std::size_t done = 0;
  while (done < count) {
    DWORD got = 0;
    if (!ReadFile(file, bytes->data() + done, static_cast<DWORD>(count - done), &got, nullptr)) {
      return false;
    }
    if (got == 0) break;
    done += got;
  }
  bytes->resize(done);
  return true;
}

bool CaptureProgramOutput(const std::string& program, const std::vector<std::string>& arguments,
                          std::size_t limit, std::string* output, std::int32_t* exitCode) {
  std::vector<std::string> all{program};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::string commandLine = WindowsCommandLine(all);
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return false;
  ScopedHandle readOwner(readEnd);
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
  CloseHandle(writeEnd);
  if (!started) return false;
  ScopedHandle processHandle(process.hProcess);
  ScopedHandle threadHandle(process.hThread);
  output->clear();
  bool complete = true;
  char buffer[4096];
  DWORD count = 0;
  while (ReadFile(readEnd, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    if (output->size() + count > limit) {
      complete = false;
      TerminateProcess(process.hProcess, 1);
      break;
    }
    output->append(buffer, count);
  }
  if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  if (!GetExitCodeProcess(process.hProcess, &code)) return false;
  *exitCode = static_cast<std::int32_t>(code);
  return complete;
}

bool FilesHandedAsDescriptors() {
  return false;
}

bool OpenForHandOver(const std::string& /*resolved*/, HandOverMode /*mode*/,
                     bool /*blockDeviceAllowed*/, std::vector<int>* /*descriptors*/) {
  return false;
}

HandedDescriptors::~HandedDescriptors() = default;
