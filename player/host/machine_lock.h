// The lock that says a machine runs: the directory `<file>.vmx.lck` beside
// its configuration, as VMware keeps one, holding the file `player.lck`
// with the owning player's process id. Trennwick's launcher waits while
// the directory exists.
//
// The lock is made new and never through a link (a hostile folder may hold
// a link of that name); a lock whose process no longer runs is stale and
// taken over. Failures are results; nothing is shown to the user.
#pragma once

#include <cstdint>
#include <string>

enum class MachineLockResult {
  kTaken,     // this process holds the lock now
  kHeld,      // a running process holds it (ownerProcess() tells which)
  kUnknown,   // a lock directory without a readable owner: another program's, or one being made
  kInTheWay,  // something that is no lock directory has the name (a link, a file)
  kFailed,    // the lock could not be made (no rights, read-only folder)
};

// Owns the lock once taken: it is removed by Release() or when the object
// goes, on every path.
class MachineLock {
 public:
  MachineLock() = default;
  ~MachineLock();
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;

  // Takes the lock of `vmxFile`; a stale one is removed and taken.
  MachineLockResult Take(const std::string& vmxFile);
  // Removes a lock this object holds; nothing otherwise.
  void Release();
  // The lock directory's path (set by Take).
  const std::string& path() const { return path_; }
  // The process id a kHeld lock names.
  std::uint32_t ownerProcess() const { return owner_; }

 private:
  std::string path_;
  std::uint32_t owner_ = 0;
  std::intptr_t handle_ = -1;  // the system's hold on the lock while taken
  bool taken_ = false;
};

// The name of a machine's lock directory.
std::string MachineLockPath(const std::string& vmxFile);
inline constexpr char kMachineLockOwnerFile[] = "player.lck";

// The owner file's content for process `pid`, and the pid read back from
// one (0 when the text is no owner record).
std::string OwnerRecord(std::uint32_t pid);
std::uint32_t ParseOwnerRecord(const std::string& text);
