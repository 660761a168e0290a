// The player's host calls on POSIX: the program runs through posix_spawn
// with its argv exactly as given, and the caller waits for it.
#include <errno.h>
#include <fcntl.h>
#include <gtk/gtk.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
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

void WriteAll(int fd, const char* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t written = write(fd, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
}

// posix_spawn file actions, destroyed on every path.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

bool RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
              ErrorTail* tail, std::int32_t* exitCode) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  // The child's stderr goes into a pipe that we read to its end: the pipe
  // is only as busy as the child's own messages, so it costs no time.
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  Descriptor readEnd(ends[0]);
  Descriptor writeEnd(ends[1]);
  SpawnActions actions;
  posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDERR_FILENO);
  pid_t child = 0;
  if (posix_spawn(&child, program.c_str(), actions.get(), nullptr, argv.data(), environ) != 0) {
    return false;
  }
  close(writeEnd.Release());
  char buffer[4096];
  while (true) {
    const ssize_t count = read(readEnd.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    tail->Append(buffer, static_cast<std::size_t>(count));
    WriteAll(STDERR_FILENO, buffer, static_cast<std::size_t>(count));
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

int OpenForReadWriteError(const std::string& path) {
  Descriptor fd(open(path.c_str(), O_RDWR | O_CLOEXEC));
  return fd.get() >= 0 ? 0 : errno;
}

std::string ErrorText(int error) {
  // In the user's language once GTK has set the locale.
  return strerror(error);
}

bool Exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

bool WhpxPresent() {
  return false;
}

bool DisplayOpens() {
  return gtk_init_check(nullptr, nullptr);
}

void WriteStandardError(const std::string& text) {
  WriteAll(STDERR_FILENO, text.data(), text.size());
}

bool IsPlainFile(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool NameTaken(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

bool CopyToNewFile(const std::string& source, const std::string& target) {
  Descriptor from(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (from.get() < 0) return false;
  Descriptor to(open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (to.get() < 0) return false;
  char buffer[65536];
  bool copied = true;
  while (true) {
    const ssize_t count = read(from.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count == 0) break;
    if (count < 0) {
      copied = false;
      break;
    }
    for (ssize_t done = 0; done < count;) {
      const ssize_t written =
          write(to.get(), buffer + done, static_cast<std::size_t>(count - done));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        copied = false;
        break;
      }
      done += written;
    }
    if (!copied) break;
  }
  if (close(to.Release()) != 0) copied = false;
  if (!copied) unlink(target.c_str());
  return copied;
}

}  // namespace

const PlayerHostSystem kSystemPlayerHostCalls = {
    EnvironmentValue,   IsProgramFile, RunToEnd,    OpenForReadWriteError,
    ErrorText,          Exists,        WhpxPresent, DisplayOpens,
    WriteStandardError, IsPlainFile,   NameTaken,   CopyToNewFile};
