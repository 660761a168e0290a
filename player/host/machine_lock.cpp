#include "player/host/machine_lock.h"

#include <cctype>

#include "platform/trennwick_run.h"
#include "player/host/machine_lock_system.h"

MachineLockSystem machineLockSystem = kSystemMachineLockCalls;

namespace {

constexpr char kOwnerPrefix[] = "pid=";

}  // namespace

std::string MachineLockPath(const std::string& vmxFile) {
  return vmxFile + kMachineLockSuffix;
}

std::string OwnerRecord(std::uint32_t pid) {
  return kOwnerPrefix + std::to_string(pid) + "\n";
}

std::uint32_t ParseOwnerRecord(const std::string& text) {
  const std::string prefix = kOwnerPrefix;
  if (text.compare(0, prefix.size(), prefix) != 0) return 0;
  std::uint64_t pid = 0;
  std::size_t i = prefix.size();
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    pid = pid * 10 + static_cast<unsigned>(text[i] - '0');
    if (pid > 0xFFFFFFFFu) return 0;
  }
  // Only a whole record counts: one cut short while being written is none.
  if (i == prefix.size() || text.substr(i) != "\n") return 0;
  return static_cast<std::uint32_t>(pid);
}

MachineLock::~MachineLock() {
  Release();
}

MachineLockResult MachineLock::Take(const std::string& vmxFile) {
  Release();
  path_ = MachineLockPath(vmxFile);
  owner_ = 0;
  const std::string record = OwnerRecord(machineLockSystem.currentProcess());
  // Twice at most: the second time after a stale lock was cleared away.
  for (int attempt = 0; attempt < 2; ++attempt) {
    switch (machineLockSystem.makeDirectory(path_)) {
      case LockDirectoryStep::kMade:
        if (machineLockSystem.writeOwnerFile(path_, kMachineLockOwnerFile, record, &handle_)) {
          taken_ = true;
          return MachineLockResult::kTaken;
        }
        machineLockSystem.removeLock(path_, kMachineLockOwnerFile, -1);
        handle_ = -1;
        return MachineLockResult::kFailed;
      case LockDirectoryStep::kFailed:
        return MachineLockResult::kFailed;
      case LockDirectoryStep::kExists:
        break;
    }
    if (!machineLockSystem.isPlainDirectory(path_)) return MachineLockResult::kInTheWay;
    std::string text;
    const std::uint32_t owner = machineLockSystem.readOwnerFile(path_, kMachineLockOwnerFile, &text)
                                    ? ParseOwnerRecord(text)
                                    : 0;
    // Without a whole record the lock is another program's, or a player
    // is just making it: neither may be taken away.
    if (owner == 0) return MachineLockResult::kUnknown;
    if (machineLockSystem.processRuns(owner)) {
      owner_ = owner;
      return MachineLockResult::kHeld;
    }
    // Stale: its player was killed. A lock that holds more than the owner
    // file is left as it is (another program's files are in it).
    if (!machineLockSystem.removeLock(path_, kMachineLockOwnerFile, -1)) {
      return MachineLockResult::kUnknown;
    }
  }
  // Another player took the cleared lock first.
  return MachineLockResult::kUnknown;
}

void MachineLock::Release() {
  if (!taken_) return;
  machineLockSystem.removeLock(path_, kMachineLockOwnerFile, handle_);
  handle_ = -1;
  taken_ = false;
}
