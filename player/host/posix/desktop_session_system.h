// The system side of the desktop session on POSIX, through one table of
// function pointers that a test may point at stand-ins; restore it from
// kSystemDesktopSessionCalls afterwards.
#pragma once

#include <string>

struct DesktopSessionSystem {
  // The value of an environment variable; false when it is not set.
  bool (*environmentValue)(const std::string& name, std::string* value);
  // True when GTK opens the desktop's display.
  bool (*displayOpens)();
};

extern DesktopSessionSystem desktopSessionSystem;
extern const DesktopSessionSystem kSystemDesktopSessionCalls;
