// Programs on POSIX: any executable regular file on the search path; QEMU
// comes from the distribution's packages, so there is no install folder
// to look in.
#include <sys/stat.h>
#include <unistd.h>

#include "player/host/environment.h"
#include "player/host/program_search.h"
#include "player/host/program_search_system.h"

const char kProgramExtension[] = "";
const char kSearchPathSeparator = ':';

namespace {

bool IsProgramFile(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         access(path.c_str(), X_OK) == 0;
}

}  // namespace

const ProgramSearchSystem kSystemProgramSearchCalls = {EnvironmentValue, IsProgramFile};

std::vector<std::string> ProgramInstallDirectories() {
  return {};
}
