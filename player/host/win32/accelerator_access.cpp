// The accelerator on Windows: the hypervisor platform (WHPX), an optional
// feature of the system; there is no KVM.
#include <windows.h>
#include <winhvplatformdefs.h>

#include <cerrno>
#include <cstring>

#include "player/host/accelerator_access.h"
#include "player/host/accelerator_access_system.h"

namespace {

int OpenForReadWriteError(const std::string& path) {
  // Only /dev/kvm is asked for, which Windows does not have.
  (void)path;
  return ENOENT;
}

std::string ErrorText(int error) {
  return strerror(error);
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

}  // namespace

const AcceleratorAccessSystem kSystemAcceleratorAccessCalls = {OpenForReadWriteError, ErrorText,
                                                               WhpxPresent};
