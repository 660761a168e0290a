// The system side of the player's host services: the few calls they make,
// through one table of function pointers that a test may point at
// stand-ins; restore it from kSystemPlayerHostCalls afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/player_host.h"

struct PlayerHostSystem {
  // The value of an environment variable; false when it is not set.
  bool (*environmentValue)(const std::string& name, std::string* value);
  // True when `path` is a file that can be started.
  bool (*isProgramFile)(const std::string& path);
  // Starts the program with the exact command line or argv so that it
  // cannot outlive us, hands each piece of its stderr to `tail` (and on to
  // ours), passes stop signals on, waits, and fills in exitCode, signal and
  // stopSignal.
  bool (*runToEnd)(const std::string& program, const std::vector<std::string>& arguments,
                   const std::vector<int>& keepOpen, ErrorTail* tail, ProgramEnd* end);
  // Starts a companion program the same way without waiting for it.
  bool (*startCompanion)(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<int>& keepOpen, ProcessHandles* handles);
  // True while the companion runs; once it ended its handles are released
  // and zeroed.
  bool (*companionRunning)(ProcessHandles* handles);
  // Ends the companion (gently first, forcibly after `graceMilliseconds`),
  // waits for it, releases and zeroes its handles.
  void (*stopCompanion)(ProcessHandles* handles, int graceMilliseconds);
  // 0 when the file opens for reading and writing, else the system's
  // error number (ENOENT for a missing one).
  int (*openForReadWriteError)(const std::string& path);
  // The system's text for an error number.
  std::string (*errorText)(int error);
  // True when a file, directory or socket of that name exists.
  bool (*exists)(const std::string& path);
  // True when the hypervisor platform answers (Windows only).
  bool (*whpxPresent)();
  // True when the desktop's display can be opened.
  bool (*displayOpens)();
  void (*writeToStandardError)(const std::string& text);
  // True when `path` is a regular file of the user's, no link, with no second
  // name (Linux).
  bool (*isPlainFile)(const std::string& path);
  // True when `path` is there at all, a dangling link included.
  bool (*nameTaken)(const std::string& path);
  // Creates `target` new (never through a link) with the bytes of `source`;
  // removes it again when the copy fails.
  bool (*copyToNewFile)(const std::string& source, const std::string& target);
};

extern PlayerHostSystem playerHostSystem;
extern const PlayerHostSystem kSystemPlayerHostCalls;

// This system's conventions for program files.
extern const char kProgramExtension[];   // "" or ".exe"
extern const char kSearchPathSeparator;  // ':' or ';'
