// The inside of the program launcher: the launch logic that needs no
// system, and the few system primitives under it, reached through one
// table of function pointers so that a test can put a failing or recording
// stand-in in place of any of them. The signatures are the same on both
// systems; platform/<system>/program_launcher.cpp supplies the real ones.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/program_launcher.h"

// A system handle (Windows) or a process id or file descriptor (POSIX) in
// an integer; 0 is none.
using LaunchHandle = std::intptr_t;
inline constexpr LaunchHandle kNoLaunchHandle = 0;

// Window show values; the numbers are those of Windows' SW_HIDE and
// SW_SHOWNORMAL.
inline constexpr std::uint16_t kShowHidden = 0;
inline constexpr std::uint16_t kShowNormal = 1;

// The standard streams, numbered as their POSIX descriptors.
enum StandardStream : int { kStandardInput = 0, kStandardOutput = 1, kStandardError = 2 };
inline constexpr int kStandardStreamCount = 3;

// What a direct start asks of the system.
struct DirectStart {
  std::string commandLine;
  std::string directory;  // empty: the caller's current directory
  std::uint16_t showWindow = kShowNormal;
  // Windows: no console for the child. POSIX: the child starts a session
  // of its own, so it has no controlling terminal.
  bool detached = false;
  // The child's standard streams are the handles in `streams`, and it
  // inherits inheritable handles. Without it the child gets the launcher's.
  bool redirected = false;
  LaunchHandle streams[kStandardStreamCount] = {};
};

struct StartedProcess {
  LaunchHandle process = kNoLaunchHandle;
  std::int32_t processId = 0;
};

// What the desktop fallback asks of the system: open `file` with "Open".
struct DesktopOpen {
  std::string file;
  std::string parameters;
  std::string directory;  // empty: none
  std::uint16_t showWindow = kShowNormal;
};

struct ProgramLauncherSystem {
  // A pipe. Windows: both ends inheritable. POSIX: both ends close-on-exec
  // and above the standard descriptors.
  bool (*createPipe)(LaunchHandle* readEnd, LaunchHandle* writeEnd);
  // A duplicate of `source` that no child inherits.
  bool (*duplicatePrivately)(LaunchHandle source, LaunchHandle* duplicate);
  void (*closeHandle)(LaunchHandle handle);
  // The launcher's own standard stream, as a child receives it.
  LaunchHandle (*standardHandle)(StandardStream stream);
  bool (*startProcess)(const DirectStart& start, StartedProcess* started);
  // On success `process` is the new process, or 0 when the path went to a
  // program that was already running.
  bool (*openWithDesktop)(const DesktopOpen& open, LaunchHandle* process);
  // Returns once the process has ended; the process stays known to the
  // system until it is released.
  void (*waitForProcess)(LaunchHandle process);
  void (*releaseProcess)(LaunchHandle process);
};

// The table every launch goes through.
extern ProgramLauncherSystem programLauncherSystem;

// The real primitives of this system, the table's initial entries.
bool CreateLaunchPipe(LaunchHandle* readEnd, LaunchHandle* writeEnd);
bool DuplicateLaunchHandlePrivately(LaunchHandle source, LaunchHandle* duplicate);
void CloseLaunchHandle(LaunchHandle handle);
LaunchHandle StandardLaunchHandle(StandardStream stream);
bool StartLaunchProcess(const DirectStart& start, StartedProcess* started);
bool OpenWithDesktop(const DesktopOpen& open, LaunchHandle* process);
void WaitForLaunchedProcess(LaunchHandle process);
void ReleaseLaunchedProcess(LaunchHandle process);

// Every record made with LaunchKeepProcess, the newest first. The lock
// guards only the linking of a new record.
extern std::list<LaunchedProgram> LaunchedProgramList;
extern std::mutex LaunchListLock;

// --- The launch logic that needs no system ---

// The program text unchanged when it begins with a double quote, else
// enclosed in double quotes; then one blank and the parameters when there
// are any. Nothing is escaped.
std::string LaunchCommandLine(std::string_view program, std::string_view parameters);

// A command line cut back into its arguments, the program first, by the
// rules this system's command-line reader uses: only blanks separate; an
// argument that begins with a double quote runs to the next one (neither
// belongs to it, and the next argument may follow the closing quote
// directly); any other runs to the next blank, double quotes included.
std::vector<std::string> SplitLaunchCommandLine(std::string_view commandLine);

// The working directory of the desktop fallback: the given directory when
// there is one, else the program text up to and including its last
// `separator`, unless that is its first character; else none (empty).
std::string DesktopFallbackDirectory(std::string_view program, std::string_view directory,
                                     char separator);

// True when a failed direct start ends the call instead of going to the
// desktop.
bool HasStreamFlag(std::uint32_t flags);

std::uint16_t LaunchShowValue(std::uint32_t flags);

// A hidden program gets no console, unless one of its streams is redirected.
bool LaunchDetached(std::uint32_t flags, bool redirected);
