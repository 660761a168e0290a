// The machine's files on POSIX: realpath for placement, open(2) with
// O_NOFOLLOW for the hand-over to QEMU, posix_spawn for qemu-img.
#include "player/host/machine_file_access.h"
#include "platform/path_names.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/system_handles.h"

extern char** environ;

namespace {

bool RealPath(const std::string& path, std::string* resolved) {
  char buffer[PATH_MAX];
  if (realpath(path.c_str(), buffer) == nullptr) return false;
  *resolved = buffer;
  return true;
}

bool ReadAll(int fd, std::size_t limit, std::string* bytes) {
  char buffer[65536];
  while (true) {
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return false;
    if (count == 0) return true;
    if (bytes->size() + static_cast<std::size_t>(count) > limit) return false;
    bytes->append(buffer, static_cast<std::size_t>(count));
  }
}

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

}  // namespace

bool ResolveFilePath(const std::string& path, std::string* resolved) {
  if (path.empty()) return false;
  if (RealPath(path, resolved)) return true;
  struct stat status {};
  // Only a name that is not there at all is kept; a dangling link is not.
  if (errno != ENOENT || lstat(path.c_str(), &status) == 0) return false;
  const std::string folderPart = FolderOfPath(path, '/');
  const std::string folder = folderPart.empty() ? "." : folderPart;
  const std::string name(LastPathName(path, '/'));
  std::string resolvedFolder;
  if (name.empty() || name == "." || name == ".." || !RealPath(folder, &resolvedFolder)) {
    return false;
  }
  *resolved = resolvedFolder + (resolvedFolder.back() == '/' ? "" : "/") + name;
  return true;
}

bool PrivateToCurrentUser(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 && !S_ISLNK(status.st_mode) &&
         status.st_uid == geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

SmallFileResult ReadSmallFile(const std::string& path, std::size_t limit, std::string* bytes) {
  // O_NONBLOCK: a FIFO in its place must not hold the program up.
  Descriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return SmallFileResult::kCannotOpen;
  struct stat status {};
  if (fstat(fd.get(), &status) != 0) return SmallFileResult::kReadFailed;
  if (!S_ISREG(status.st_mode)) return SmallFileResult::kNotAFile;
  if (static_cast<unsigned long long>(status.st_size) > limit) return SmallFileResult::kTooLarge;
  bytes->clear();
  bytes->reserve(static_cast<std::size_t>(status.st_size));
  // A file that grew after the look at its size is cut off at the limit.
  return ReadAll(fd.get(), limit, bytes) ? SmallFileResult::kRead : SmallFileResult::kTooLarge;
}

bool ReadFileStart(const std::string& path, std::size_t count, std::string* bytes) {
  Descriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (fd.get() < 0 || fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  bytes->assign(count, '\0');
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = read(fd.get(), bytes->data() + done, count - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  bytes->resize(done);
  return true;
}

bool CaptureProgramOutput(const std::string& program, const std::vector<std::string>& arguments,
                          std::size_t limit, std::string* output, std::int32_t* exitCode) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  Descriptor readEnd(ends[0]);
  Descriptor writeEnd(ends[1]);
  SpawnActions actions;
  posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO);
  posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  pid_t child = 0;
  if (posix_spawn(&child, program.c_str(), actions.get(), nullptr, argv.data(), environ) != 0) {
    return false;
  }
  close(writeEnd.Release());
  output->clear();
  const bool complete = ReadAll(readEnd.get(), limit, output);
  // Nobody reads any more: a child still writing gets SIGPIPE and ends.
  close(readEnd.Release());
  int status = 0;
  pid_t waited = 0;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0 || !WIFEXITED(status)) return false;
  *exitCode = WEXITSTATUS(status);
  return complete;
}

bool FilesHandedAsDescriptors() {
  return true;
}

bool OpenForHandOver(const std::string& resolved, HandOverMode mode, bool blockDeviceAllowed,
                     std::vector<int>* descriptors) {
  std::vector<int> flags;
  switch (mode) {
    case HandOverMode::kRead:
      flags = {O_RDONLY};
      break;
    case HandOverMode::kReadWrite:
      flags = {O_RDWR, O_RDONLY};
      break;
    case HandOverMode::kAppend:
      flags = {O_WRONLY | O_APPEND | O_CREAT};
      break;
  }
  std::vector<int> opened;
  bool fits = true;
  for (int access : flags) {
    // O_NONBLOCK: a FIFO put in the file's place is not waited for; it is
    // refused below, and the flag is taken off again for QEMU.
    const int fd =
        open(resolved.c_str(), access | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) {
      fits = false;
      break;
    }
    opened.push_back(fd);
    struct stat status {};
    if (fstat(fd, &status) != 0 ||
        !(S_ISREG(status.st_mode) || (blockDeviceAllowed && S_ISBLK(status.st_mode))) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
      fits = false;
      break;
    }
  }
  if (!fits) {
    for (int fd : opened) close(fd);
    return false;
  }
  descriptors->insert(descriptors->end(), opened.begin(), opened.end());
  return true;
}

HandedDescriptors::~HandedDescriptors() {
  for (int fd : all_) close(fd);
}
