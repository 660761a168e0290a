#include <stdlib.h>

#include "player/host/environment.h"

bool EnvironmentValue(const std::string& name, std::string* value) {
  const char* found = getenv(name.c_str());
  if (found == nullptr) return false;
  *value = found;
  return true;
}
