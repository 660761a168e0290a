// The desktop session on POSIX: an X11 or Wayland display named in the
// environment that GTK can open.
#include <errno.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include "player/host/desktop_session.h"
#include "player/host/environment.h"
#include "player/host/posix/desktop_session_system.h"

namespace {

bool DisplayOpens() {
  return gtk_init_check(nullptr, nullptr);
}

bool VariableSet(const char* name) {
  std::string value;
  return desktopSessionSystem.environmentValue(name, &value) && !value.empty();
}

}  // namespace

const DesktopSessionSystem kSystemDesktopSessionCalls = {EnvironmentValue, DisplayOpens};
DesktopSessionSystem desktopSessionSystem = kSystemDesktopSessionCalls;

bool GraphicalDisplayPresent() {
  if (!VariableSet("DISPLAY") && !VariableSet("WAYLAND_DISPLAY")) return false;
  return desktopSessionSystem.displayOpens();
}

void WriteToStandardError(std::string_view text) {
  const char* bytes = text.data();
  std::size_t count = text.size();
  while (count > 0) {
    const ssize_t written = write(STDERR_FILENO, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
}
