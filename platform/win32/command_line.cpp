#include <windows.h>

#include <string>

#include "platform/command_line.h"

std::string ProgramCommandLine() {
  const char* line = GetCommandLineA();
  return line != nullptr ? std::string(line) : std::string();
}

std::vector<std::string> ProgramParameters() {
  return ParametersOfCommandLine(ProgramCommandLine());
}

std::string ProgramFilePath() {
  // A path that fills the buffer may have been cut, so ask again with more
  // room until the whole path fits.
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD got =
        GetModuleFileNameA(GetModuleHandleA(nullptr), path.data(), static_cast<DWORD>(path.size()));
    if (got == 0) return std::string();
    if (got < path.size()) {
      path.resize(got);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// The program is portable on Windows: wherever it was unpacked or installed
// (per user), its folder is its own.
ProgramPlaces PlacesOfProgram(const std::string& programDirectory) {
  return ProgramPlaces{programDirectory, programDirectory};
}
