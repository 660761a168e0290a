// The TPM's folder on Linux: made with mkdir(0700), opened with O_NOFOLLOW
// and checked on the open descriptor, so that nothing can swap it between
// the check and its use.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/system_handles.h"
#include "player/host/tpm_state_folder.h"

bool HostEmulatesTpm() {
  return true;
}

PrivateFolder::~PrivateFolder() {
  if (descriptor_ >= 0) close(descriptor_);
}

std::string PrivateFolder::InheritedPath(const std::string& name) const {
  return "/proc/self/fd/" + std::to_string(descriptor_) + "/" + name;
}

bool PrivateFolder::HoldsSocket(const std::string& name) const {
  struct stat status;
  return descriptor_ >= 0 &&
         fstatat(descriptor_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISSOCK(status.st_mode);
}

void PrivateFolder::RemoveLeftoverSocket(const std::string& name) const {
  if (HoldsSocket(name)) unlinkat(descriptor_, name.c_str(), 0);
}

namespace {

// Every entry is the user's own regular file with no second name, or a
// socket an earlier swtpm left: a link, or a hard link to another
// machine's state or any file of the user's, would let swtpm read and
// write that file.
bool HoldsOnlyOwnFiles(int folder) {
  const int listed = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listed < 0) return false;
  DIR* entries = fdopendir(listed);
  if (entries == nullptr) {
    close(listed);
    return false;
  }
  bool own = true;
  while (const dirent* entry = readdir(entries)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat status {};
    if (fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        status.st_uid != geteuid() ||
        !((S_ISREG(status.st_mode) && status.st_nlink == 1) || S_ISSOCK(status.st_mode))) {
      own = false;
      break;
    }
  }
  closedir(entries);
  return own;
}

}  // namespace

PrivateFolderResult OpenPrivateFolder(const std::string& path, PrivateFolder* folder) {
  const bool made = mkdir(path.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) return PrivateFolderResult::kFailed;
  Descriptor fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    // ELOOP: a link; ENOTDIR: a file or a device of that name.
    return errno == ELOOP || errno == ENOTDIR ? PrivateFolderResult::kRefused
                                              : PrivateFolderResult::kFailed;
  }
  struct stat status;
  if (fstat(fd.get(), &status) != 0) return PrivateFolderResult::kFailed;
  // Someone else's folder, or one others may write in, could hold their
  // socket or a link in place of the TPM's state.
  if (status.st_uid != geteuid() || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return PrivateFolderResult::kRefused;
  }
  if (!HoldsOnlyOwnFiles(fd.get())) return PrivateFolderResult::kRefused;
  // The state holds the TPM's secrets: nobody else reads them.
  if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0 && fchmod(fd.get(), 0700) != 0) {
    return PrivateFolderResult::kFailed;
  }
  folder->descriptor_ = fd.Release();
  return made ? PrivateFolderResult::kMade : PrivateFolderResult::kKept;
}
