#include "tests/unit/launch_test_support.h"

#include <windows.h>

#include <vector>

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

// GetProcessHandleCount gives 0 under Wine; the system's handle table,
// filtered by this process, counts everywhere.
int OpenHandleCount() {
  struct HandleEntry {
    ULONG ownerProcessId;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ACCESS_MASK access;
  };
  struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
  };
  using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  constexpr ULONG kSystemHandleInformation = 16;
  constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  const auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<unsigned char> buffer(1 << 16);
  LONG status;
  while ((status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                         nullptr)) == kInfoLengthMismatch) {
    buffer.resize(buffer.size() * 2);
  }
  if (status < 0) return -1;
  const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
  const DWORD self = GetCurrentProcessId();
  int count = 0;
  for (ULONG i = 0; i < table->count; ++i) {
    if (table->entries[i].ownerProcessId == self) ++count;
  }
  return count;
}

int LeakTestLaunches() {
  return 100;
}

}  // namespace launch_test
