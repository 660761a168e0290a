#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/file_channels.h"
#include "platform/file_channels_system.h"
#include "platform/path_names.h"
#include "platform/posix/system_handles.h"

namespace {

// The sharing rules of the Windows build, on open-file-description locks:
// a channel that may write holds a write lock, a reading one a read lock.
// So a reader and a writer, or two writers, exclude each other, while
// readers share. The locks are advisory: they bind the channels of this and
// every other program that asks for them.
bool LockForSharing(int fd, bool writing) {
  struct flock lock {};
  lock.l_type = writing ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;  // from the first byte, to the end and beyond
  if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return true;
  // A file system without such locks cannot share-check; the file still opens.
  return errno != EAGAIN && errno != EACCES;
}

// O_NONBLOCK only for the open: a FIFO without a writer would block it until
// someone writes. Cleared afterwards, so reads and writes of a file behave
// as always.
int OpenLocked(const std::string& fileName, int flags, bool writing) {
  Descriptor fd(open(fileName.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666));
  if (fd.get() < 0) return -1;
  // A directory opens for reading here; on Windows a channel never opens one.
  struct stat status {};
  if (fstat(fd.get(), &status) != 0 || S_ISDIR(status.st_mode)) return -1;
  const int statusFlags = fcntl(fd.get(), F_GETFL);
  if (statusFlags < 0 || fcntl(fd.get(), F_SETFL, statusFlags & ~O_NONBLOCK) != 0) return -1;
  if (!LockForSharing(fd.get(), writing)) return -1;
  return fd.Release();
}

// Empties the file only after its lock is held, so that a file that another
// channel has open is left whole.
int OpenEmptied(const std::string& fileName, int flags) {
  Descriptor fd(OpenLocked(fileName, flags, true));
  if (fd.get() < 0 || ftruncate(fd.get(), 0) != 0) return -1;
  return fd.Release();
}

std::string WithoutTrailingSlashes(const std::string& name) {
  const std::size_t end = name.find_last_not_of('/');
  return end == std::string::npos ? std::string() : name.substr(0, end + 1);
}

std::int64_t SizeFromStatus(const struct stat& status) {
  return S_ISDIR(status.st_mode) ? -2 : static_cast<std::int64_t>(status.st_size);
}

// The last part of the name as a pattern: "*" and "?" match as on Windows
// ("*.*" matches every name); every other byte, "[" among them, is literal.
std::optional<std::string> WildcardPattern(const std::string& lastPart) {
  if (lastPart.find_first_of("*?") == std::string::npos) return std::nullopt;
  if (lastPart == "*.*") return std::string("*");
  std::string pattern;
  for (const char c : lastPart) {
    if (c == '[') {
      pattern += "[[]";
    } else {
      pattern += c;
    }
  }
  return pattern;
}

// A name with wildcards in its last part: the match that comes first in
// byte order decides, so the result does not depend on directory order.
std::int64_t QueryFirstMatchSize(const std::string& name) {
  const std::string folder = FolderOfPath(name, '/');
  const std::string directory = folder.empty() ? std::string(".") : folder;
  const std::optional<std::string> pattern = WildcardPattern(std::string(LastPathName(name, '/')));
  if (!pattern) return -1;
  DirectoryStream stream(opendir(directory.c_str()));
  if (stream.get() == nullptr) return -1;
  std::optional<std::string> first;
  while (const dirent* entry = readdir(stream.get())) {
    const std::string entryName = entry->d_name;
    if (entryName == "." || entryName == "..") continue;
    if (fnmatch(pattern->c_str(), entryName.c_str(), FNM_NOESCAPE) != 0) continue;
    if (!first || entryName < *first) first = entryName;
  }
  struct stat status {};
  if (!first || fstatat(dirfd(stream.get()), first->c_str(), &status, 0) != 0) return -1;
  return SizeFromStatus(status);
}

}  // namespace

SystemFile OpenSystemFile(const std::string& fileName, ChannelOpenMode mode) {
  switch (mode) {
    case ChannelOpenMode::kReadShared:
      return OpenLocked(fileName, O_RDONLY, false);
    case ChannelOpenMode::kCreate:
      return OpenLocked(fileName, O_RDWR | O_CREAT, true);
    case ChannelOpenMode::kCreateEmpty: {
      const int fd = OpenEmptied(fileName, O_RDWR | O_CREAT);
      // Once more for writing alone, for a file that may not be read.
      return fd >= 0 ? fd : OpenEmptied(fileName, O_WRONLY);
    }
    case ChannelOpenMode::kExclusive:
      return OpenLocked(fileName, O_RDWR, true);
  }
  return kNoSystemFile;
}

std::int32_t ReadSystemFile(SystemFile file, void* destination, std::int32_t length) {
  ssize_t got;
  do {
    got = read(static_cast<int>(file), destination, static_cast<std::size_t>(length));
  } while (got < 0 && errno == EINTR);
  return got < 0 ? -1 : static_cast<std::int32_t>(got);
}

// Keeps writing until every byte is taken or the system refuses more.
std::int32_t WriteSystemFile(SystemFile file, const void* bytes, std::int32_t length) {
  const char* next = static_cast<const char*>(bytes);
  std::int32_t written = 0;
  while (written < length) {
    const ssize_t taken =
        write(static_cast<int>(file), next + written, static_cast<std::size_t>(length - written));
    if (taken < 0 && errno == EINTR) continue;
    if (taken <= 0) return written > 0 ? written : -1;
    written += static_cast<std::int32_t>(taken);
  }
  return written;
}

bool MoveSystemFilePosition(SystemFile file, std::int32_t distance) {
  return lseek(static_cast<int>(file), distance, SEEK_CUR) != static_cast<off_t>(-1);
}

void CloseSystemFile(SystemFile file) {
  close(static_cast<int>(file));
}

bool IsRegularSystemFile(SystemFile file) {
  struct stat status {};
  return fstat(static_cast<int>(file), &status) == 0 && S_ISREG(status.st_mode);
}

std::int64_t QueryFileSize(const std::string& fileName) {
  // Names are whole here: the system has no short path room to fit.
  const std::string name = WithoutTrailingSlashes(fileName);
  if (name.empty()) return -1;
  struct stat status {};
  if (stat(name.c_str(), &status) == 0) return SizeFromStatus(status);
  return QueryFirstMatchSize(name);
}

bool RemoveFile(const std::string& fileName) {
  return !fileName.empty() && unlink(fileName.c_str()) == 0;
}
