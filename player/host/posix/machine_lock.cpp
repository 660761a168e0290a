// The machine lock's calls on POSIX: the directory is held open (O_NOFOLLOW)
// while the lock is taken, so that the owner file is made and removed in
// the directory that was made, even if its name is replaced meanwhile.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/posix/system_handles.h"
#include "player/host/machine_lock_system.h"

namespace {

// Readable by all: another user's player may tell who holds the machine.
constexpr mode_t kLockDirectoryMode = 0755;
constexpr mode_t kOwnerFileMode = 0644;
constexpr std::size_t kOwnerRecordLimit = 64;

LockDirectoryStep MakeDirectory(const std::string& path) {
  // mkdir never follows a link in the last component: a link of that name
  // (dangling or not) makes it fail with EEXIST.
  if (mkdir(path.c_str(), kLockDirectoryMode) == 0) return LockDirectoryStep::kMade;
  return errno == EEXIST ? LockDirectoryStep::kExists : LockDirectoryStep::kFailed;
}

bool IsPlainDirectory(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

int OpenDirectory(const std::string& path) {
  return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool WriteOwnerFile(const std::string& path, const std::string& name, const std::string& record,
                    std::intptr_t* hold) {
  Descriptor directory(OpenDirectory(path));
  if (directory.get() < 0) return false;
  Descriptor owner(openat(directory.get(), name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kOwnerFileMode));
  if (owner.get() < 0) return false;
  // One write: a reader sees the whole record or a short one it refuses.
  ssize_t written = 0;
  do {
    written = write(owner.get(), record.data(), record.size());
  } while (written < 0 && errno == EINTR);
  if (written != static_cast<ssize_t>(record.size()) || close(owner.Release()) != 0) {
    unlinkat(directory.get(), name.c_str(), 0);
    return false;
  }
  *hold = directory.Release();
  return true;
}

bool ReadOwnerFile(const std::string& path, const std::string& name, std::string* record) {
  Descriptor directory(OpenDirectory(path));
  if (directory.get() < 0) return false;
  // O_NONBLOCK: a FIFO of that name must not stop the player.
  Descriptor owner(
      openat(directory.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (owner.get() < 0) return false;
  struct stat status;
  if (fstat(owner.get(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  char buffer[kOwnerRecordLimit];
  ssize_t count = 0;
  do {
    count = read(owner.get(), buffer, sizeof buffer);
  } while (count < 0 && errno == EINTR);
  if (count < 0) return false;
  record->assign(buffer, static_cast<std::size_t>(count));
  return true;
}

bool RemoveLock(const std::string& path, const std::string& name, std::intptr_t hold) {
  Descriptor directory(hold >= 0 ? static_cast<int>(hold) : OpenDirectory(path));
  if (directory.get() < 0) return false;
  unlinkat(directory.get(), name.c_str(), 0);
  // rmdir refuses a link put in the directory's place, and a directory
  // that holds more than the owner file.
  return rmdir(path.c_str()) == 0;
}

bool ProcessRuns(std::uint32_t pid) {
  // EPERM: it runs, as another user's process.
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

std::uint32_t CurrentProcess() {
  return static_cast<std::uint32_t>(getpid());
}

}  // namespace

const MachineLockSystem kSystemMachineLockCalls = {MakeDirectory, IsPlainDirectory, WriteOwnerFile,
                                                   ReadOwnerFile, RemoveLock,       ProcessRuns,
                                                   CurrentProcess};
