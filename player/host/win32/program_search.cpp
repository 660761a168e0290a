// Programs on Windows: ".exe" files, and QEMU's own folder below the
// program folders, where its installer puts it (it adds nothing to PATH).
#include <windows.h>

#include "platform/ascii_case.h"
#include "player/host/environment.h"
#include "player/host/program_search.h"
#include "player/host/program_search_system.h"

const char kProgramExtension[] = ".exe";
const char kSearchPathSeparator = ';';

namespace {

bool IsProgramFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

const ProgramSearchSystem kSystemProgramSearchCalls = {EnvironmentValue, IsProgramFile};

// %ProgramFiles%\qemu\ and, for a 32-bit player on 64-bit Windows, whose
// %ProgramFiles% is the x86 folder, %ProgramW6432%\qemu\. Windows folder
// names compare without regard to ASCII case.
std::vector<std::string> ProgramInstallDirectories() {
  std::vector<std::string> directories;
  for (const char* variable : {"ProgramFiles", "ProgramW6432"}) {
    std::string value;
    if (!programSearchSystem.environmentValue(variable, &value)) continue;
    for (std::string& entry : SplitSearchPath(value, ';', '\\')) {
      const std::string directory = entry + "qemu\\";
      bool known = false;
      for (const std::string& made : directories) {
        known = known || EqualsIgnoringAsciiCase(made, directory);
      }
      if (!known) directories.push_back(directory);
    }
  }
  return directories;
}
