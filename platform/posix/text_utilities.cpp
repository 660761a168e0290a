#include <ctime>

#include "platform/text_utilities.h"
#include "platform/text_utilities_system.h"

WallClockTime ReadLocalWallClock() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return WallClockTime{};
  return WallClockTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                       local.tm_hour,        local.tm_min,     local.tm_sec};
}
