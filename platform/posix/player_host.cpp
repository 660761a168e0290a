// The player's host calls on POSIX: the program runs through posix_spawn
// with its argv exactly as given, and the caller waits for it.
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/player_host.h"
#include "platform/player_host_system.h"
#include "platform/posix/system_handles.h"

extern char** environ;

const char kProgramExtension[] = "";
const char kSearchPathSeparator = ':';

namespace {

bool EnvironmentValue(const std::string& name, std::string* value) {
  const char* found = getenv(name.c_str());
  if (found == nullptr) return false;
  *value = found;
  return true;
}

bool IsProgramFile(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         access(path.c_str(), X_OK) == 0;
}

bool RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
              std::int32_t* exitCode) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    return false;
  }
  int status = 0;
  pid_t waited = 0;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0) return false;
  if (WIFEXITED(status)) {
    *exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    *exitCode = 128 + WTERMSIG(status);
  } else {
    *exitCode = 1;
  }
  return true;
}

bool OpensForReadWrite(const std::string& path) {
  Descriptor fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
  return fd.get() >= 0;
}

bool Exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

}  // namespace

const PlayerHostSystem kSystemPlayerHostCalls = {EnvironmentValue, IsProgramFile, RunToEnd,
                                                 OpensForReadWrite, Exists};
