// Facts of the host that decide what a machine gets and what its files
// count as: the memory and processors it can spare, the user's folders
// that are no machine's folder, the program that started the player, and
// how the window title's dash is written for this system.
#pragma once

#include <string>
#include <vector>

// The physical memory in MiB; 0 when unknown.
long long PhysicalMemoryMegabytes();

// The processors the player may run on (Linux: its CPU affinity, so a
// container's or a taskset's limit counts; Windows: every processor group);
// 0 when unknown.
long long HostProcessors();

// The home and the user's folders (Linux: those that xdg-user-dirs names,
// and the home's folders of xdg-user-dirs' usual names such as Downloads;
// Windows: the known folders), resolved, each with its trailing separator;
// the ones that do not exist are left out.
std::vector<std::string> UserFolders();

// The temporary roots (Linux: /tmp and $TMPDIR; Windows: the system's
// temporary folder and %TEMP%, %TMP%), resolved, each with its trailing
// separator; the ones that do not exist are left out.
std::vector<std::string> TemporaryFolders();

// The program file of the player's parent process, resolved; empty when it
// cannot be had.
std::string ParentProgramFile();

// The dash between the parts of QEMU's window title, with a blank on each
// side, as the system hands text to QEMU: an en dash in UTF-8 on Linux, in
// the ANSI code page on Windows (a plain "-" where that has none).
std::string TitleDash();
