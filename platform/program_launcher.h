// The program launcher: starts a program, or opens a document with the
// program that the system associates with it, and optionally waits for it,
// hides its window, or keeps a record of the process with pipes to its
// standard streams. Also the thread pause.
//
// A launch first tries to start the path directly as a program. When that
// fails and no stream flag (LaunchCaptureOutput, LaunchFeedInput,
// LaunchCaptureErrors, LaunchChainInput) is set, the path goes to the
// desktop with the verb "Open" (Windows: the shell's file association;
// Linux: the default application for the file's content type).
//
// On POSIX the command line is cut back into arguments (quoted stretches
// are one argument, see SplitLaunchCommandLine), a hidden program starts a
// session of its own instead of getting no window, and the desktop
// application gets the file alone, in the working directory, with neither
// the parameters nor the show value.
//
// Failures are results: 0 when nothing was started. The launcher shows
// nothing and writes nothing.
#pragma once

#include <cstdint>
#include <string>

// Launch flags; other bits are ignored.
inline constexpr std::uint32_t LaunchWaitForEnd = 1;   // return only after the process ended
inline constexpr std::uint32_t LaunchHidden = 2;       // no window; no console unless redirected
inline constexpr std::uint32_t LaunchKeepProcess = 4;  // return a LaunchedProgram record
// With LaunchKeepProcess only: pipes whose launcher ends the record keeps.
inline constexpr std::uint32_t LaunchCaptureOutput = 8;
inline constexpr std::uint32_t LaunchFeedInput = 16;
inline constexpr std::uint32_t LaunchCaptureErrors = 32;
// Redirects nothing; reserved for feeding one program's output into the
// next. Like the other stream flags, it stops the desktop fallback.
inline constexpr std::uint32_t LaunchChainInput = 64;

// One program started with LaunchKeepProcess. The handles are system
// handles (Windows) or process ids and file descriptors (POSIX) held in
// integers; 0 means none. The launcher's list owns every record and the
// handles in it until the process ends; the launcher itself never reads,
// closes or removes a record.
struct LaunchedProgram {
  // The process; 0 when the desktop opened the path in a program that was
  // already running. POSIX: the process id, also when the desktop opened it.
  std::intptr_t process = 0;
  // The direct start's process id; -1 when the desktop opened the path.
  std::int32_t processId = 0;
  std::intptr_t inputWriteEnd = 0;  // the launcher's end of the child's standard input
  std::intptr_t outputReadEnd = 0;  // the launcher's end of the child's standard output
  std::intptr_t errorReadEnd = 0;   // the launcher's end of the child's standard error
};

// The start-up step of the launcher, once, before the first launch.
void InitLaunchServices();

// Starts `program` (a path, or a command-line head that begins with a
// double quote and carries its own quoting) with `parameters` in
// `directory` (empty: the caller's current directory). Result: 0 when
// nothing was started or opened; 1 when something was and LaunchKeepProcess
// was not given; else the address of the new LaunchedProgram record.
std::intptr_t LaunchProgram(const std::string& program, const std::string& parameters = "",
                            const std::string& directory = "", std::uint32_t flags = 0);

// Suspends the calling thread; 0 gives up the rest of its time slice.
void Pause(std::uint32_t milliseconds);
