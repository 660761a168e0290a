// The desktop session on Windows: a Windows program always has its
// desktop; stderr is whatever handle the player was given, if any.
#include <windows.h>

#include "player/host/desktop_session.h"

bool GraphicalDisplayPresent() {
  return true;
}

void WriteToStandardError(std::string_view text) {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  const char* bytes = text.data();
  DWORD count = static_cast<DWORD>(text.size());
  while (count > 0 && handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes, count, &written, nullptr) || written == 0) return;
    bytes += written;
    count -= written;
  }
}
