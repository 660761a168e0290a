// The system side of deciding on a machine's files: resolving a path,
// asking who owns a file, reading a small file whole, running a tool for
// its output, and (on Linux) opening the files that QEMU gets as
// descriptors. Failures are results; nothing is shown to the user.
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

enum class SmallFileResult { kRead, kCannotOpen, kNotAFile, kTooLarge, kReadFailed };
// The bytes of a regular file of at most `limit` bytes. The size is taken
// from the open file, so a larger one is refused before a byte is read.
SmallFileResult ReadSmallFile(const std::string& path, std::size_t limit, std::string* bytes);

// The first `count` bytes of a regular file (all of a shorter one). False
// when it cannot be opened, is no regular file or a read fails.
bool ReadFileStart(const std::string& path, std::size_t count, std::string* bytes);

// Runs `program` with `arguments` to its end and keeps its stdout (at most
// `limit` bytes; more fails); its stderr is ours. False when it could not
// be started, failed or said too much.
bool CaptureProgramOutput(const std::string& program, const std::vector<std::string>& arguments,
                          std::size_t limit, std::string* output, std::int32_t* exitCode);

// True where QEMU gets descriptors instead of names (Linux); elsewhere
// OpenForHandOver is never called and names are passed.
bool FilesHandedAsDescriptors();

enum class HandOverMode {
  kRead,       // read only: one descriptor
  kReadWrite,  // two descriptors, read-write and read-only, as QEMU asks for both
  kAppend,     // write only, appending; created when missing, never cut short
};

// Opens `resolved` (whose folders are resolved) without following a link
// at its last step, with close-on-exec, and checks that what was opened is
// a regular file (or, with `blockDeviceAllowed`, a block device). The
// descriptors are added to `descriptors`; false when it fails.
bool OpenForHandOver(const std::string& resolved, HandOverMode mode, bool blockDeviceAllowed,
                     std::vector<int>* descriptors);

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
