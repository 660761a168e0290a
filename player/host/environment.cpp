#include "player/host/environment.h"

std::string EnvironmentText(const std::string& name) {
  std::string value;
  return EnvironmentValue(name, &value) ? value : std::string();
}
