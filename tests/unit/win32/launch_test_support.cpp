#include "tests/unit/launch_test_support.h"

#include <windows.h>

namespace launch_test {

// The probe's build path is a Linux path; Wine shows the Linux root as Z:.
std::string ProbePath() {
  std::string path = "Z:" LAUNCH_PROBE_PATH;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string ReadToEnd(std::intptr_t readEnd) {
  std::string bytes;
  char buffer[4096];
  DWORD length = 0;
  while (ReadFile(reinterpret_cast<HANDLE>(readEnd), buffer, sizeof buffer, &length, nullptr) &&
         length > 0) {
    bytes.append(buffer, length);
  }
  return bytes;
}

bool WriteAll(std::intptr_t writeEnd, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD length = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(writeEnd), bytes.data(),
                   static_cast<DWORD>(bytes.size()), &length, nullptr) ||
        length == 0) {
      return false;
    }
    bytes.remove_prefix(length);
  }
  return true;
}

void ClosePipeEnd(std::intptr_t end) {
  CloseHandle(reinterpret_cast<HANDLE>(end));
}

int WaitForExitCode(std::intptr_t process) {
  const HANDLE handle = reinterpret_cast<HANDLE>(process);
  DWORD code = 0;
  if (WaitForSingleObject(handle, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(handle, &code)) {
    return -1;
  }
  return static_cast<int>(code);
}

int OpenHandleCount() {
  DWORD count = 0;
  if (!GetProcessHandleCount(GetCurrentProcess(), &count)) return -1;
  return static_cast<int>(count);
}

int LeakTestLaunches() {
  return 100;
}

}  // namespace launch_test
