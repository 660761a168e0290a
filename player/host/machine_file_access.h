// The system side of deciding on a machine's files: resolving a path,
// asking who owns a file, reading a small file whole, holding the
// machine's files open from their check on, and (on Linux) opening the
// files that QEMU gets as descriptors. Failures are results; nothing is
// shown to the user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The absolute path with links and ".." resolved (Windows: the full path,
// and for an existing file its final path). A missing last name is kept
// below its resolved folder. False when the folder is missing or the name
// is a dangling link.
bool ResolveFilePath(const std::string& path, std::string* resolved);

// True when `path` (no link) is owned by the current user and nobody else
// may write to it (Windows: no entry of its DACL lets anyone but the user,
// SYSTEM and the Administrators change it, as the launcher makes its
// folders).
bool PrivateToCurrentUser(const std::string& path);

// True when `path` itself is a symbolic link (Windows: any reparse point,
// a junction as well).
bool IsLink(const std::string& path);

enum class SmallFileResult { kRead, kCannotOpen, kNotAFile, kTooLarge, kReadFailed };
// The bytes of a regular file of at most `limit` bytes. The size is taken
// from the open file, so a larger one is refused before a byte is read.
SmallFileResult ReadSmallFile(const std::string& path, std::size_t limit, std::string* bytes);

// True when someone other than the user may make or remove entries in the
// folder (a shared folder such as /tmp; Windows: a DACL entry of anyone
// but the user, SYSTEM and the Administrators that allows it).
bool OthersMayWrite(const std::string& folder);

// True when `folder` (resolved, with its trailing separator) is the root of
// a mounted file system or a mount point: its device differs from its
// parent's, or the mount table lists it (Linux); a drive's root, a mounted
// folder, or a folder directly in a removable drive's root (Windows). True
// as well when it cannot be looked at.
bool IsVolumeRoot(const std::string& folder);

// True where QEMU gets descriptors instead of names (Linux); elsewhere
// OpenForHandOver is never called and names are passed.
bool FilesHandedAsDescriptors();

// How opening one of the machine's files ended: a shortage of the system
// apart from a file that is not what it should be, so that the user learns
// the real cause.
enum class OpenResult {
  kOpened,
  kUnfit,         // missing, not a regular file (or block device), changed, refused
  kTooManyFiles,  // the program's or the system's limit of open files
  kNoMemory,
};

// The most files the program may hold open at once (Linux: RLIMIT_NOFILE);
// 0 when there is no such limit or it is unknown.
long long OpenFileLimit();
// Raises that limit as far as the system lets this user, since a split
// disk of many extents holds each of them and hands each over again; the
// program waits on its descriptors with poll, never with select. Windows
// has no such limit.
void RaiseOpenFileLimit();

enum class HandOverMode {
  kRead,       // read only: one descriptor
  kReadWrite,  // two descriptors, read-write and read-only, as QEMU asks for both
  kAppend,     // write only, appending; created when missing, never cut short
};

// Opens `resolved` (whose folders are resolved) without following a link
// at its last step, with close-on-exec, and checks that what was opened is
// a regular file (or, with `blockDeviceAllowed`, a block device). The
// descriptors are added to `descriptors` when it is kOpened.
OpenResult OpenForHandOver(const std::string& resolved, HandOverMode mode, bool blockDeviceAllowed,
                           std::vector<int>* descriptors);

// The machine's files, opened for reading once they are placed and held
// open until the run is over, so that what is read (an image's header, a
// CD's boot catalog) and what QEMU gets is one file: a name swapped after
// the check no longer matches.
class HeldFiles {
 public:
  HeldFiles() = default;
  ~HeldFiles();
  HeldFiles(const HeldFiles&) = delete;
  HeldFiles& operator=(const HeldFiles&) = delete;

  // Opens `resolved` (whose folders are resolved) without following a link
  // at its last step and without waiting for a FIFO; kUnfit unless it is a
  // regular file (or, with `blockDeviceAllowed`, a block device). A name
  // held already gives its number again while it is still the held file,
  // and kUnfit once another file has taken its place: what was read and
  // checked through it (an appliance's digests) is what the plan hands on.
  OpenResult Open(const std::string& resolved, bool blockDeviceAllowed, std::size_t* number);
  // Up to `count` bytes at `offset` (fewer at the end); false when it fails.
  bool ReadAt(std::size_t number, std::uint64_t offset, std::size_t count, std::string* bytes);
  std::uint64_t Size(std::size_t number);
  // The file's names in its file system (hard links); 1 when unknown.
  std::uint64_t LinkCount(std::size_t number);
  // Opens the held file again for QEMU (see OpenForHandOver); kUnfit unless
  // what opens is still the file that is held.
  OpenResult OpenForHandOver(std::size_t number, HandOverMode mode, std::vector<int>* descriptors);

 private:
  struct Held {
    std::string path;
    std::intptr_t handle;
    bool blockDevice;
  };
  std::vector<Held> held_;
};

// Owns descriptors from OpenForHandOver until the run is over.
class HandedDescriptors {
 public:
  HandedDescriptors() = default;
  ~HandedDescriptors();
  HandedDescriptors(const HandedDescriptors&) = delete;
  HandedDescriptors& operator=(const HandedDescriptors&) = delete;
  std::vector<int>& all() { return all_; }

 private:
  std::vector<int> all_;
};
