// The player's host calls on Windows: the program runs through
// CreateProcessA with a command line that the MSVCRT parser (QEMU's) cuts
// back into exactly the given arguments.
#include <windows.h>

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

bool RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
              std::int32_t* exitCode) {
  std::vector<std::string> all{program};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::string commandLine = WindowsCommandLine(all);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  // QEMU is a console program; the player is not, and no console window
  // should appear beside the machine's.
  if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  ScopedHandle processHandle(process.hProcess);
  ScopedHandle threadHandle(process.hThread);
  if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  if (!GetExitCodeProcess(process.hProcess, &code)) return false;
  *exitCode = static_cast<std::int32_t>(code);
  return true;
}

bool OpensForReadWrite(const std::string& path) {
  // No /dev/kvm here; QEMU's Windows accelerators are not relied on.
  (void)path;
  return false;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

const PlayerHostSystem kSystemPlayerHostCalls = {EnvironmentValue, IsProgramFile, RunToEnd,
                                                 OpensForReadWrite, Exists};
