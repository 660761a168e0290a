// The program's whole run: answer a help switch, make sure the template
// file exists (beside the program, or in the user's configuration folder
// for an installed program on Linux), let the user choose an ISO image, write
// a configuration for it into a fresh temporary directory, open that with
// the program the system associates with .vmx files, wait for it to end
// and remove the temporary directory.
#pragma once

#include "core/launcher_services.h"

// Exit codes of a run.
inline constexpr int kExitNormal = 0;
inline constexpr int kExitHelpShown = 1;
inline constexpr int kExitTemplateUnreadable = 2;
// No display to show a box on; the reason went to the error output.
inline constexpr int kExitNoDisplay = 3;

// Runs once and gives the exit code. Every end goes through one exit path
// that closes all channels, so nothing written stays in a buffer.
int LauncherMain(LauncherServices& services);
