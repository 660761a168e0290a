// Texts as the user sees them. The program's own texts are Windows-1252 in
// the code; a message box, a dialog title or a line on stderr shows the
// system's display text: Windows-1252 (ANSI) on Windows, UTF-8 on Linux.
// Own texts are converted once, where a shown text is made; file names are
// shown as the file system holds them, and on Linux a name that is no valid
// UTF-8 goes through GLib's display-name conversion instead of being shown
// as mojibake.
#pragma once

#include <string>
#include <string_view>

// One of the program's own Windows-1252 texts as a display text.
std::string ShownText(std::string_view ownText);

// A file name (a path as the file system holds it) as a display text.
std::string ShownFileName(std::string_view fileName);
