// The player's host calls on Windows: the program runs through
// CreateProcessA with a command line that the MSVCRT parser (QEMU's) cuts
// back into exactly the given arguments.
#include <windows.h>
#include <winhvplatformdefs.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/player_host.h"
#include "platform/player_host_system.h"
#include "platform/win32/system_handles.h"

const char kProgramExtension[] = ".exe";
const char kSearchPathSeparator = ';';

namespace {

bool EnvironmentValue(const std::string& name, std::string* value) {
  const DWORD needed = GetEnvironmentVariableA(name.c_str(), nullptr, 0);
  if (needed == 0) return false;
  std::string buffer(needed, '\0');
  const DWORD length = GetEnvironmentVariableA(name.c_str(), buffer.data(), needed);
  if (length == 0 || length >= needed) return false;
  buffer.resize(length);
  *value = buffer;
  return true;
}

bool IsProgramFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void WriteToHandle(HANDLE handle, const char* bytes, DWORD count) {
  while (count > 0 && handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes, count, &written, nullptr) || written == 0) return;
    bytes += written;
    count -= written;
  }
}

bool RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
              ErrorTail* tail, std::int32_t* exitCode) {
  std::vector<std::string> all{program};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::string commandLine = WindowsCommandLine(all);
  // The child's stderr is a pipe whose write end alone is inheritable.
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
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process{};
  // QEMU is a console program; the player is not, and no console window
  // should appear beside the machine's.
  const BOOL started = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
  CloseHandle(writeEnd);
  if (!started) return false;
  ScopedHandle processHandle(process.hProcess);
  ScopedHandle threadHandle(process.hThread);
  const HANDLE ownError = GetStdHandle(STD_ERROR_HANDLE);
  char buffer[4096];
  DWORD count = 0;
  while (ReadFile(readEnd, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    tail->Append(buffer, count);
    WriteToHandle(ownError, buffer, count);
  }
  if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  if (!GetExitCodeProcess(process.hProcess, &code)) return false;
  *exitCode = static_cast<std::int32_t>(code);
  return true;
}

int OpenForReadWriteError(const std::string& path) {
  // Only /dev/kvm is asked for, which Windows does not have.
  (void)path;
  return ENOENT;
}

std::string ErrorText(int error) {
  return strerror(error);
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A 32-bit player on 64-bit Windows sees SysWOW64 as System32, which has
// no WinHvPlatform.dll, and could not load the 64-bit one anyway. Its
// Sysnative folder (there only for such a process) shows the system's own
// System32: the DLL there says the feature is on. Should its hypervisor
// not run, QEMU fails at once and the player goes on with TCG.
bool NativeWhpxInstalled() {
  char windows[MAX_PATH];
  const UINT length = GetSystemWindowsDirectoryA(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::string dll = std::string(windows) + "\\Sysnative\\WinHvPlatform.dll";
  const DWORD attributes = GetFileAttributesA(dll.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The hypervisor platform is an optional Windows feature: its DLL is
// loaded from System32 only, and only asked whether a hypervisor runs.
bool WhpxPresent() {
  HMODULE library = LoadLibraryExA("WinHvPlatform.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library == nullptr) return NativeWhpxInstalled();
  using GetCapability = HRESULT(WINAPI*)(WHV_CAPABILITY_CODE, VOID*, UINT32, UINT32*);
  const auto getCapability = reinterpret_cast<GetCapability>(
      reinterpret_cast<void*>(GetProcAddress(library, "WHvGetCapability")));
  BOOL present = FALSE;
  UINT32 written = 0;
  const bool usable = getCapability != nullptr &&
                      SUCCEEDED(getCapability(WHvCapabilityCodeHypervisorPresent, &present,
                                              sizeof(present), &written)) &&
                      present;
  FreeLibrary(library);
  return usable;
}

bool DisplayOpens() {
  return true;  // a Windows program always has its desktop
}

void WriteStandardError(const std::string& text) {
  WriteToHandle(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()));
}

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

const PlayerHostSystem kSystemPlayerHostCalls = {
    EnvironmentValue,   IsProgramFile, RunToEnd,    OpenForReadWriteError,
    ErrorText,          Exists,        WhpxPresent, DisplayOpens,
    WriteStandardError, IsPlainFile,   NameTaken,   CopyToNewFile};
