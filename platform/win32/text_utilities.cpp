#include <windows.h>

#include "platform/text_utilities.h"
#include "platform/text_utilities_system.h"

WallClockTime ReadLocalWallClock() {
  SYSTEMTIME local;
  GetLocalTime(&local);
  return WallClockTime{local.wYear, local.wMonth,  local.wDay,
                       local.wHour, local.wMinute, local.wSecond};
}
