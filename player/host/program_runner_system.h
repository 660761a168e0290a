// The system side of running the player's programs: the few calls it
// makes, through one table of function pointers that a test may point at
// stand-ins; restore it from kSystemProgramRunnerCalls afterwards.
#pragma once

#include <string>
#include <vector>

#include "player/host/program_runner.h"

struct ProgramRunnerSystem {
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
};

extern ProgramRunnerSystem programRunnerSystem;
extern const ProgramRunnerSystem kSystemProgramRunnerCalls;
