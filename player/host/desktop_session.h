// What the player has of the user's session: a display to show the
// machine's window and boxes on, and the error output for messages that
// reach the user (or a log) without one.
#pragma once

#include <string_view>

// True when windows can be shown (Linux: DISPLAY or WAYLAND_DISPLAY set and
// GTK opens it; Windows: always).
bool GraphicalDisplayPresent();
// Writes a display text to stderr as it is.
void WriteToStandardError(std::string_view text);
