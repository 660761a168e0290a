// Finding a program the player starts (QEMU, swtpm) by its name:
// beside the player, on the search path (PATH) and, on Windows, where
// QEMU's installer puts it. Nothing is shown to the user.
#pragma once

#include <string>
#include <vector>

// The full path of `name` (with the system's program extension, e.g.
// "qemu-system-x86_64.exe" on Windows): first in `besideDirectory` (empty:
// not looked at; with its trailing separator), then in the directories of
// PATH, last in the folders of ProgramInstallDirectories. Empty when there
// is none.
std::string FindProgram(const std::string& name, const std::string& besideDirectory);
// The folders where the system's installers put QEMU, each once; empty
// where it comes from the search path alone (Linux's packages).
std::vector<std::string> ProgramInstallDirectories();

// --- Logic that needs no system ---

// The entries of a PATH-style list, empty ones left out, each given a
// trailing `separator` when it lacks one.
std::vector<std::string> SplitSearchPath(const std::string& list, char listSeparator,
                                         char separator);
