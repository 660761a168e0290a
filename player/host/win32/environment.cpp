#include <windows.h>

#include "player/host/environment.h"

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
