// The system side of finding a program: the calls it makes, through one
// table of function pointers that a test may point at stand-ins; restore
// it from kSystemProgramSearchCalls afterwards.
#pragma once

#include <string>

struct ProgramSearchSystem {
  // The value of an environment variable; false when it is not set.
  bool (*environmentValue)(const std::string& name, std::string* value);
  // True when `path` is a file that can be started.
  bool (*isProgramFile)(const std::string& path);
};

extern ProgramSearchSystem programSearchSystem;
extern const ProgramSearchSystem kSystemProgramSearchCalls;

// This system's conventions for program files.
extern const char kProgramExtension[];   // "" or ".exe"
extern const char kSearchPathSeparator;  // ':' or ';'
