// The command line of a program started on Windows, which the program
// cuts into its arguments itself: QEMU and the other MinGW programs do so
// by the MSVCRT rules.
#pragma once

#include <string>
#include <vector>

// The command line whose MSVCRT parsing gives back exactly `arguments`:
// each argument quoted when it is empty or holds a blank, tab or quote;
// inside quotes a quote becomes \" and the backslashes before a quote or
// the closing quote are doubled.
std::string WindowsCommandLine(const std::vector<std::string>& arguments);
std::string QuoteWindowsArgument(const std::string& argument);
