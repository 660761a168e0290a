// The calls that find the sound server on POSIX, through one table of
// function pointers that a test may point at stand-ins; restore it from
// kSystemAudioOutputCalls afterwards.
#pragma once

#include <string>

struct AudioOutputSystem {
  // The value of an environment variable; false when it is not set.
  bool (*environmentValue)(const std::string& name, std::string* value);
  // True when a file, directory or socket of that name exists.
  bool (*exists)(const std::string& path);
};

extern AudioOutputSystem audioOutputSystem;
extern const AudioOutputSystem kSystemAudioOutputCalls;
