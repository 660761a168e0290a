#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/directory_services.h"
#include "platform/directory_services_system.h"
#include "platform/posix/system_handles.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

// The top of the walk is named by a path; without its trailing slashes, so
// that O_NOFOLLOW refuses a link there instead of the slash resolving it.
std::string TopLevelName(const std::string& path) {
  std::string name = path;
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  return name;
}

int DescriptorOf(const WalkedDirectory* parent) {
  return parent != nullptr ? parent->descriptor : AT_FDCWD;
}

std::string NameIn(const WalkedDirectory* parent, const std::string& name) {
  return parent != nullptr ? name : TopLevelName(name);
}

bool StatEntry(const WalkedDirectory& directory, const std::string& name, struct stat& status) {
  return fstatat(directory.descriptor, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

// The name as fnmatch reads a Windows pattern: '[' stands for itself.
std::string FnmatchPattern(const std::string& pattern) {
  std::string translated;
  for (char c : pattern) {
    if (c == '[') {
      translated += "[[]";
    } else {
      translated += c;
    }
  }
  return translated;
}

bool FnmatchAsWindows(const std::string& pattern, const char* name) {
  return fnmatch(FnmatchPattern(pattern).c_str(), name, FNM_NOESCAPE | FNM_CASEFOLD) == 0;
}

// Windows semantics: letters match either case, a leading dot is an
// ordinary character, and a pattern ending in ".*" also takes the names
// without an extension ("x.*" finds "x"), so "*.*" finds every name. That
// one is answered without fnmatch, which gives up on names that are not
// valid in the locale's multibyte encoding.
bool MatchesPattern(const std::string& pattern, const char* name) {
  if (pattern == "*" || pattern == "*.*") return true;
  if (FnmatchAsWindows(pattern, name)) return true;
  const std::size_t length = pattern.size();
  return length >= 2 && pattern.compare(length - 2, 2, ".*") == 0 &&
         FnmatchAsWindows(pattern.substr(0, length - 2), name);
}

bool CreateOneDirectory(const std::string& path) {
  return mkdir(path.c_str(), 0700) == 0;
}

// The mount a descriptor lies on. statx tells a bind mount of a directory
// of the same file system apart (its mount id differs, and it is the root
// of a mount); where it cannot, the device number is all there is.
struct MountOf {
  bool knownId = false;
  std::uint64_t id = 0;
  bool isMountRoot = false;
  dev_t device = 0;
};

bool LookAtMount(int descriptor, MountOf& mount) {
  struct statx status {};
  if (statx(descriptor, "", AT_EMPTY_PATH, STATX_MNT_ID, &status) == 0) {
    mount.knownId = (status.stx_mask & STATX_MNT_ID) != 0;
    mount.id = status.stx_mnt_id;
    mount.isMountRoot = (status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                        (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    mount.device = makedev(status.stx_dev_major, status.stx_dev_minor);
    return true;
  }
  struct stat plain;
  if (fstat(descriptor, &plain) != 0) return false;
  mount.device = plain.st_dev;
  return true;
}

// A directory below the top that is the root of another mount holds files
// that are not the tree's own: it is never entered.
bool OnSameMount(int parentDescriptor, int childDescriptor) {
  MountOf parent;
  MountOf child;
  if (!LookAtMount(parentDescriptor, parent) || !LookAtMount(childDescriptor, child)) return false;
  if (child.isMountRoot || child.device != parent.device) return false;
  return !(parent.knownId && child.knownId && parent.id != child.id);
}

// Checked on the opened descriptor, not the name, so that a mount made
// between the search and the open is caught as well.
bool OpenDirectory(const WalkedDirectory* parent, const std::string& name,
                   WalkedDirectory& directory) {
  Descriptor opened(openat(DescriptorOf(parent), NameIn(parent, name).c_str(),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (opened.get() < 0) return false;
  if (parent != nullptr && !OnSameMount(parent->descriptor, opened.get())) return false;
  directory.descriptor = opened.Release();
  return true;
}

bool FindEntries(const WalkedDirectory& directory, const std::string& pattern,
                 std::vector<DirectoryEntry>& entries) {
  // The stream takes over a descriptor of its own; the walk keeps using the
  // level's descriptor for the *at calls.
  const int copy = fcntl(directory.descriptor, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  DirectoryStream stream(fdopendir(copy));
  if (stream.get() == nullptr) {
    close(copy);
    return false;
  }
  rewinddir(stream.get());
  while (const dirent* found = readdir(stream.get())) {
    if (!MatchesPattern(pattern, found->d_name)) continue;
    struct stat status;
    // An entry that cannot be examined is left alone.
    if (!StatEntry(directory, found->d_name, status)) continue;
    DirectoryEntry entry;
    entry.name = found->d_name;
    entry.isLink = S_ISLNK(status.st_mode);
    entry.lastChange =
        static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    if (entry.isLink) {
      // Only to treat it as a directory is; it is never entered.
      struct stat target;
      entry.isDirectory =
          fstatat(directory.descriptor, found->d_name, &target, 0) == 0 && S_ISDIR(target.st_mode);
    } else {
      entry.isDirectory = S_ISDIR(status.st_mode);
    }
    entries.push_back(entry);
  }
  return !entries.empty();
}

// Normal is writable for its owner. AT_SYMLINK_NOFOLLOW: an entry swapped
// for a link since the search must not pass the change on to the target.
bool MakeFileNormal(const WalkedDirectory& directory, const std::string& name) {
  struct stat status;
  if (!StatEntry(directory, name, status) || S_ISLNK(status.st_mode) || S_ISDIR(status.st_mode)) {
    return false;
  }
  if ((status.st_mode & S_IWUSR) != 0) return true;
  return fchmodat(directory.descriptor, name.c_str(), (status.st_mode & 07777) | S_IWUSR,
                  AT_SYMLINK_NOFOLLOW) == 0;
}

// A file its owner may not write counts as read-only and stays, as on
// Windows. The check is made here because unlink would not refuse it: it
// asks only for the directory's permission, and root passes even that.
bool DeleteOneFile(const WalkedDirectory& directory, const std::string& name) {
  struct stat status;
  if (!StatEntry(directory, name, status) || S_ISDIR(status.st_mode)) return false;
  if (!S_ISLNK(status.st_mode) && (status.st_mode & S_IWUSR) == 0) return false;
  return unlinkat(directory.descriptor, name.c_str(), 0) == 0;
}

// Unlinking the link itself leaves its target alone. Whatever has taken the
// link's place since the search stays.
bool RemoveLink(const WalkedDirectory& directory, const DirectoryEntry& entry) {
  struct stat status;
  if (!StatEntry(directory, entry.name, status) || !S_ISLNK(status.st_mode)) return false;
  return unlinkat(directory.descriptor, entry.name.c_str(), 0) == 0;
}

bool MakeDirectoryNormal(const WalkedDirectory& directory) {
  struct stat status;
  if (fstat(directory.descriptor, &status) != 0) return false;
  return fchmod(directory.descriptor, (status.st_mode & 07777) | S_IRWXU) == 0;
}

// unlinkat never waits for those who hold the file open.
bool FileInUse(const WalkedDirectory&, const std::string&) {
  return false;
}

bool RemoveOneDirectory(const WalkedDirectory* parent, const std::string& name,
                        const WalkedDirectory&) {
  return unlinkat(DescriptorOf(parent), NameIn(parent, name).c_str(), AT_REMOVEDIR) == 0;
}

}  // namespace

WalkedDirectory::~WalkedDirectory() {
  if (descriptor >= 0) close(descriptor);
}

DirectorySystemCalls& DirectorySystem() {
  // Paths are handed over whole; the kernel refuses what it cannot take.
  static DirectorySystemCalls calls = {
      .pathRoom = SIZE_MAX,
      .createDirectory = CreateOneDirectory,
      .openDirectory = OpenDirectory,
      .findEntries = FindEntries,
      .makeFileNormal = MakeFileNormal,
      .deleteFile = DeleteOneFile,
      .removeLink = RemoveLink,
      .makeDirectoryNormal = MakeDirectoryNormal,
      .fileInUse = FileInUse,
      .removeDirectory = RemoveOneDirectory,
  };
  return calls;
}
