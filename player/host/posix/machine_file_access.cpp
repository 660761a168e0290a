// The machine's files on POSIX: realpath for placement, the devices and
// the mount table for mount points, open(2) with O_NOFOLLOW for holding
// them and for the hand-over to QEMU.
#include "player/host/machine_file_access.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "platform/path_names.h"
#include "platform/posix/system_handles.h"

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

// Why an open(2) failed, as far as the user is to learn it.
OpenResult FailureOfOpen(int error) {
  if (error == EMFILE || error == ENFILE) return OpenResult::kTooManyFiles;
  return error == ENOMEM ? OpenResult::kNoMemory : OpenResult::kUnfit;
}

// The mount table is a few KiB; a table beyond this is not read.
constexpr std::size_t kMountTableLimit = 4 * 1024 * 1024;

// A mount point as /proc/self/mountinfo writes it: blank, tab, newline and
// backslash as \ and three octal digits.
std::string UnescapedMountPoint(std::string_view field) {
  const auto octal = [&field](std::size_t at) { return field[at] >= '0' && field[at] <= '7'; };
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                (field[i + 3] - '0'));
      i += 3;
    } else {
      text += field[i];
    }
  }
  return text;
}

// A bind mount keeps its device: only the mount table tells it.
bool ListedAsMountPoint(const std::string& path) {
  std::string table;
  if (ReadSmallFile("/proc/self/mountinfo", kMountTableLimit, &table) != SmallFileResult::kRead) {
    return false;
  }
  std::size_t start = 0;
  while (start < table.size()) {
    std::size_t end = table.find('\n', start);
    if (end == std::string::npos) end = table.size();
    const std::string_view line(table.data() + start, end - start);
    start = end + 1;
    // The fifth field: id, parent id, device, root, mount point.
    std::size_t field = 0;
    for (int skipped = 0; skipped < 4 && field != std::string_view::npos; ++skipped) {
      field = line.find(' ', field);
      if (field != std::string_view::npos) ++field;
    }
    if (field == std::string_view::npos) continue;
    const std::size_t fieldEnd = line.find(' ', field);
    if (UnescapedMountPoint(line.substr(field, fieldEnd - field)) == path) return true;
  }
  return false;
}

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

bool IsLink(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
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

bool FilesHandedAsDescriptors() {
  return true;
}

bool OthersMayWrite(const std::string& folder) {
  struct stat status {};
  if (stat(folder.c_str(), &status) != 0) return true;
  return status.st_uid != geteuid() || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool IsVolumeRoot(const std::string& folder) {
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  struct stat self {};
  struct stat parent {};
  if (stat(path.c_str(), &self) != 0 || stat((path + "/..").c_str(), &parent) != 0) return true;
  // The system's root is its own parent.
  if (self.st_dev != parent.st_dev || self.st_ino == parent.st_ino) return true;
  return ListedAsMountPoint(path);
}

long long OpenFileLimit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return static_cast<long long>(limit.rlim_cur);
}

void RaiseOpenFileLimit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  // A failure leaves the limit as it was; a shortage is told when it comes.
  setrlimit(RLIMIT_NOFILE, &limit);
}

OpenResult OpenForHandOver(const std::string& resolved, HandOverMode mode, bool blockDeviceAllowed,
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
  OpenResult result = OpenResult::kOpened;
  for (int access : flags) {
    // O_NONBLOCK: a FIFO put in the file's place is not waited for; it is
    // refused below, and the flag is taken off again for QEMU.
    const int fd =
        open(resolved.c_str(), access | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) {
      result = FailureOfOpen(errno);
      break;
    }
    opened.push_back(fd);
    struct stat status {};
    if (fstat(fd, &status) != 0 ||
        !(S_ISREG(status.st_mode) || (blockDeviceAllowed && S_ISBLK(status.st_mode))) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
      result = OpenResult::kUnfit;
      break;
    }
  }
  if (result != OpenResult::kOpened) {
    for (int fd : opened) close(fd);
    return result;
  }
  descriptors->insert(descriptors->end(), opened.begin(), opened.end());
  return OpenResult::kOpened;
}

HandedDescriptors::~HandedDescriptors() {
  for (int fd : all_) close(fd);
}

HeldFiles::~HeldFiles() {
  for (const Held& held : held_) close(static_cast<int>(held.handle));
}

OpenResult HeldFiles::Open(const std::string& resolved, bool blockDeviceAllowed,
                           std::size_t* number) {
  // O_NONBLOCK: a FIFO in the file's place is refused below, not waited for.
  Descriptor fd(open(resolved.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return FailureOfOpen(errno);
  struct stat status {};
  if (fstat(fd.get(), &status) != 0) return OpenResult::kUnfit;
  const bool block = S_ISBLK(status.st_mode);
  if (!S_ISREG(status.st_mode) && !(blockDeviceAllowed && block)) return OpenResult::kUnfit;
  for (std::size_t earlier = 0; earlier < held_.size(); ++earlier) {
    if (held_[earlier].path != resolved) continue;
    struct stat was {};
    if (fstat(static_cast<int>(held_[earlier].handle), &was) != 0 || was.st_dev != status.st_dev ||
        was.st_ino != status.st_ino) {
      return OpenResult::kUnfit;
    }
    *number = earlier;
    return OpenResult::kOpened;
  }
  held_.push_back({resolved, fd.Release(), block});
  *number = held_.size() - 1;
  return OpenResult::kOpened;
}

bool HeldFiles::ReadAt(std::size_t number, std::uint64_t offset, std::size_t count,
                       std::string* bytes) {
  if (number >= held_.size()) return false;
  bytes->assign(count, '\0');
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = pread(static_cast<int>(held_[number].handle), bytes->data() + done,
                              count - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  bytes->resize(done);
  return true;
}

std::uint64_t HeldFiles::Size(std::size_t number) {
  struct stat status {};
  if (number >= held_.size() || fstat(static_cast<int>(held_[number].handle), &status) != 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(status.st_size);
}

std::uint64_t HeldFiles::LinkCount(std::size_t number) {
  struct stat status {};
  if (number >= held_.size() || fstat(static_cast<int>(held_[number].handle), &status) != 0) {
    return 1;
  }
  return static_cast<std::uint64_t>(status.st_nlink);
}

OpenResult HeldFiles::OpenForHandOver(std::size_t number, HandOverMode mode,
                                      std::vector<int>* descriptors) {
  if (number >= held_.size()) return OpenResult::kUnfit;
  struct stat was {};
  if (fstat(static_cast<int>(held_[number].handle), &was) != 0) return OpenResult::kUnfit;
  std::vector<int> opened;
  const OpenResult result =
      ::OpenForHandOver(held_[number].path, mode, held_[number].blockDevice, &opened);
  if (result != OpenResult::kOpened) return result;
  for (int fd : opened) {
    struct stat now {};
    if (fstat(fd, &now) != 0 || now.st_dev != was.st_dev || now.st_ino != was.st_ino) {
      for (int other : opened) close(other);
      return OpenResult::kUnfit;
    }
  }
  descriptors->insert(descriptors->end(), opened.begin(), opened.end());
  return OpenResult::kOpened;
}
