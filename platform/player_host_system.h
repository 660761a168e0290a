// The system side of the player's host services: the few calls they make,
// through one table of function pointers that a test may point at
// stand-ins; restore it from kSystemPlayerHostCalls afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PlayerHostSystem {
  // The value of an environment variable; false when it is not set.
  bool (*environmentValue)(const std::string& name, std::string* value);
  // True when `path` is a file that can be started.
  bool (*isProgramFile)(const std::string& path);
  // Starts the program with the exact command line or argv, waits, and
  // gives its exit code.
  bool (*runToEnd)(const std::string& program, const std::vector<std::string>& arguments,
                   std::int32_t* exitCode);
  // True when the file can be opened for reading and writing.
  bool (*opensForReadWrite)(const std::string& path);
  // True when a file, directory or socket of that name exists.
  bool (*exists)(const std::string& path);
};

extern PlayerHostSystem playerHostSystem;
extern const PlayerHostSystem kSystemPlayerHostCalls;

// This system's conventions for program files.
extern const char kProgramExtension[];   // "" or ".exe"
extern const char kSearchPathSeparator;  // ':' or ';'
