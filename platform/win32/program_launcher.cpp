// The launcher's system calls on Windows: CreateProcessA for a direct
// start, ShellExecuteExA with "Open" for the desktop fallback.
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/program_launcher.h"
#include "platform/program_launcher_system.h"
#include "platform/win32/system_handles.h"

// The structure sizes the 32-bit program hands to the system.
static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOA) == 68);
static_assert(sizeof(void*) != 4 || sizeof(SECURITY_ATTRIBUTES) == 12);
static_assert(sizeof(void*) != 4 || sizeof(SHELLEXECUTEINFOA) == 60);
static_assert(SW_HIDE == kShowHidden && SW_SHOWNORMAL == kShowNormal);

namespace {

constexpr char kOpenVerb[] = "Open";

HANDLE AsHandle(LaunchHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}
LaunchHandle AsLaunchHandle(HANDLE handle) {
  return reinterpret_cast<LaunchHandle>(handle);
}

const char* DirectoryOrNone(const std::string& directory) {
  return directory.empty() ? nullptr : directory.c_str();
}

}  // namespace

bool CreateLaunchPipe(LaunchHandle* readEnd, LaunchHandle* writeEnd) {
  SECURITY_ATTRIBUTES attributes;
  ZeroMemory(&attributes, sizeof attributes);
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = nullptr;
  attributes.bInheritHandle = TRUE;
  HANDLE readHandle = nullptr;
  HANDLE writeHandle = nullptr;
  if (!CreatePipe(&readHandle, &writeHandle, &attributes, 0)) return false;
  *readEnd = AsLaunchHandle(readHandle);
  *writeEnd = AsLaunchHandle(writeHandle);
  return true;
}

bool DuplicateLaunchHandlePrivately(LaunchHandle source, LaunchHandle* duplicate) {
  const HANDLE self = GetCurrentProcess();
  HANDLE copy = nullptr;
  if (!DuplicateHandle(self, AsHandle(source), self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return false;
  }
  *duplicate = AsLaunchHandle(copy);
  return true;
}

void CloseLaunchHandle(LaunchHandle handle) {
  CloseHandle(AsHandle(handle));
}

LaunchHandle StandardLaunchHandle(StandardStream stream) {
  static constexpr DWORD kStandardHandleIds[kStandardStreamCount] = {
      STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  return AsLaunchHandle(GetStdHandle(kStandardHandleIds[stream]));
}

bool StartLaunchProcess(const DirectStart& start, StartedProcess* started) {
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = start.showWindow;
  DWORD creationFlags = NORMAL_PRIORITY_CLASS;
  if (start.detached) creationFlags |= DETACHED_PROCESS;
  if (start.redirected) {
    startup.dwFlags |= STARTF_USESTDHANDLES;
    startup.hStdInput = AsHandle(start.streams[kStandardInput]);
    startup.hStdOutput = AsHandle(start.streams[kStandardOutput]);
    startup.hStdError = AsHandle(start.streams[kStandardError]);
  }
  // CreateProcessA may write into the command line.
  std::vector<char> commandLine(start.commandLine.begin(), start.commandLine.end());
  commandLine.push_back('\0');

  PROCESS_INFORMATION process;
  ZeroMemory(&process, sizeof process);
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr,
                      start.redirected ? TRUE : FALSE, creationFlags, nullptr,
                      DirectoryOrNone(start.directory), &startup, &process)) {
    return false;
  }
  ScopedHandle thread(process.hThread);
  started->process = AsLaunchHandle(process.hProcess);
  started->processId = static_cast<std::int32_t>(process.dwProcessId);
  return true;
}

bool OpenWithDesktop(const DesktopOpen& open, LaunchHandle* process) {
  SHELLEXECUTEINFOA execute;
  ZeroMemory(&execute, sizeof execute);
  execute.cbSize = sizeof execute;
  execute.fMask = SEE_MASK_NOCLOSEPROCESS;
  execute.hwnd = nullptr;
  execute.lpVerb = kOpenVerb;
  execute.lpFile = open.file.c_str();
  execute.lpParameters = open.parameters.c_str();
  execute.lpDirectory = DirectoryOrNone(open.directory);
  execute.nShow = open.showWindow;
  if (!ShellExecuteExA(&execute)) return false;
  *process = AsLaunchHandle(execute.hProcess);
  return true;
}

void WaitForLaunchedProcess(LaunchHandle process) {
  WaitForSingleObject(AsHandle(process), INFINITE);
}

void ReleaseLaunchedProcess(LaunchHandle process) {
  CloseHandle(AsHandle(process));
}

void Pause(std::uint32_t milliseconds) {
  Sleep(milliseconds);
}
