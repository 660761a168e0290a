// What the player needs of the host: finding a program, running it with an
// exact argument vector until it ends, and the facts that choose QEMU's
// accelerator, display and sound.
//
// Failures are results: an empty path when nothing was found, false when
// nothing was started. Nothing is shown to the user.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The full path of `name` (with the system's program extension, e.g.
// "qemu-system-x86_64.exe" on Windows): first in `besideDirectory` (empty:
// not looked at; with its trailing separator), then in the directories of
// PATH. Empty when there is none.
std::string FindProgram(const std::string& name, const std::string& besideDirectory);

// Runs `program` with `arguments` (argv[1] on) in the caller's directory
// and returns when it has ended, with its exit code in `exitCode` (on
// POSIX 128 + the signal's number when a signal ended it). False when it
// could not be started. Every argument reaches the program unchanged: on
// POSIX as its own argv entry, on Windows through WindowsCommandLine.
bool RunProgramToEnd(const std::string& program, const std::vector<std::string>& arguments,
                     std::int32_t* exitCode);

// True when hardware virtualization can be used (Linux: /dev/kvm opens for
// reading and writing; Windows: never, QEMU's software emulation is used).
bool HardwareAccelerationUsable();
// True when windows can be shown (Linux: DISPLAY or WAYLAND_DISPLAY set).
bool GraphicalDisplayPresent();
// The QEMU audio driver for the host's default sound output; empty when
// the host has none the player can be sure of.
std::string DefaultAudioDriver();

// --- Logic that needs no system ---

// The command line whose MSVCRT parsing gives back exactly `arguments`:
// each argument quoted when it is empty or holds a blank, tab or quote;
// inside quotes a quote becomes \" and the backslashes before a quote or
// the closing quote are doubled.
std::string WindowsCommandLine(const std::vector<std::string>& arguments);
std::string QuoteWindowsArgument(const std::string& argument);

// The entries of a PATH-style list, empty ones left out, each given a
// trailing `separator` when it lacks one.
std::vector<std::string> SplitSearchPath(const std::string& list, char listSeparator,
                                         char separator);
