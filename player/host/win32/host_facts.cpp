// The host's facts on Windows: GlobalMemoryStatusEx, the processor count
// of every group, the shell's known folders, the parent from a process
// snapshot, the dash in the ANSI code page.
#include "player/host/host_facts.h"

#include <windows.h>
// After windows.h, which they need.
#include <knownfolders.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include "platform/win32/system_handles.h"
#include "player/host/environment.h"
#include "player/host/machine_file_access.h"
#include "player/host/win32/ansi_text.h"

namespace {

void AddResolvedFolder(const std::string& path, std::vector<std::string>* folders) {
  std::string resolved;
  if (path.empty() || !ResolveFilePath(path, &resolved)) return;
  if (resolved.back() != '\\') resolved += '\\';
  folders->push_back(resolved);
}

void AddKnownFolder(REFKNOWNFOLDERID id, std::vector<std::string>* folders) {
  PWSTR wide = nullptr;
  if (SHGetKnownFolderPath(id, 0, nullptr, &wide) != S_OK) {
    CoTaskMemFree(wide);
    return;
  }
  std::string path;
  const EncodingResult converted = WideToAnsiText(wide, &path);
  CoTaskMemFree(wide);
  if (converted == EncodingResult::kConverted) AddResolvedFolder(path, folders);
}

}  // namespace

long long PhysicalMemoryMegabytes() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return 0;
  return static_cast<long long>(status.ullTotalPhys / (1024 * 1024));
}

long long HostProcessors() {
  // Beyond 64 processors Windows splits them into groups; a process sees
  // one group unless it asks for all.
  return static_cast<long long>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
}

std::vector<std::string> UserFolders() {
  std::vector<std::string> folders;
  for (REFKNOWNFOLDERID id :
       {FOLDERID_Profile, FOLDERID_Desktop, FOLDERID_Downloads, FOLDERID_Documents, FOLDERID_Music,
        FOLDERID_Pictures, FOLDERID_Videos, FOLDERID_Public, FOLDERID_Templates}) {
    AddKnownFolder(id, &folders);
  }
  return folders;
}

std::vector<std::string> TemporaryFolders() {
  std::vector<std::string> folders;
  char path[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof path, path);
  if (length > 0 && length < sizeof path) AddResolvedFolder(std::string(path, length), &folders);
  for (const char* variable : {"TEMP", "TMP"})
    AddResolvedFolder(EnvironmentText(variable), &folders);
  return folders;
}

std::string ParentProgramFile() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return {};
  ScopedHandle snapshotOwner(snapshot);
  const DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL found = Process32First(snapshot, &entry); found;
       found = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  }
  if (parent == 0) return {};
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent);
  if (process == nullptr) return {};
  ScopedHandle processOwner(process);
  char path[MAX_PATH];
  DWORD length = sizeof path;
  if (!QueryFullProcessImageNameA(process, 0, path, &length)) return {};
  std::string resolved;
  return ResolveFilePath(std::string(path, length), &resolved) ? resolved : std::string();
}

std::string TitleDash() {
  // Windows hands QEMU an ANSI command line: the dash in its code page, or
  // a hyphen where the code page has no dash.
  std::string dash;
  if (WideToAnsiText(L"\x2013", &dash) != EncodingResult::kConverted) return " - ";
  return " " + dash + " ";
}
