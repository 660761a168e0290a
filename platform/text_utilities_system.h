// The system side of the text and date utilities: the local wall clock.
#pragma once

#include <cstdint>

struct WallClockTime {
  std::int32_t year = 0;
  std::int32_t month = 0;  // 1 to 12
  std::int32_t day = 0;
  std::int32_t hour = 0;
  std::int32_t minute = 0;
  std::int32_t second = 0;
};

// The present date and time on the local wall clock.
WallClockTime ReadLocalWallClock();
