// Stands in for the program that opens .vmx files: it copies the
// configuration it was given, notes its arguments and working directory
// into the folder named by TRENNWICK_E2E_RECORD, waits a moment, notes that
// it ended, and exits.
//
// With TRENNWICK_E2E_HAND_ON set it acts like a player that hands the
// machine to a process of its own and returns at once: it takes the lock
// VMware keeps beside a running configuration, starts itself again with
// --hold-lock CONFIG and ends. That second process keeps the lock for a few
// seconds, then reads the whole configuration, records it, and removes the
// lock. The lock is there before the first process ends, as with a player
// whose running instance already holds it; a slow process start (Wine's)
// cannot race the launcher's look at the directory.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr auto kHoldTime = std::chrono::seconds(3);

bool OnWindows() {
  return fs::path::preferred_separator == '\\';
}

// Through the system's shell, which returns as soon as the process runs.
int StartDetached(const std::string& program, const std::string& config) {
  const std::string command =
      OnWindows() ? "start \"\" /b \"" + program + "\" --hold-lock \"" + config + "\""
                  : "'" + program + "' --hold-lock '" + config + "' &";
  return std::system(command.c_str());
}

fs::path LockOf(const fs::path& config) {
  return config.string() + ".lck";
}

bool TakeLock(const fs::path& config) {
  std::error_code error;
  fs::create_directory(LockOf(config), error);
  if (error) return false;
  std::ofstream(LockOf(config) / "owner.lck") << "recording player\n";
  return true;
}

int HoldLockThenRead(const fs::path& folder, const fs::path& config) {
  const fs::path lock = LockOf(config);
  std::error_code error;
  std::this_thread::sleep_for(kHoldTime);
  fs::copy_file(config, folder / "handed-config.vmx", fs::copy_options::overwrite_existing, error);
  std::ofstream(folder / "handed-ended.txt", std::ios::binary)
      << (error ? "config gone\n" : "read\n");
  fs::remove_all(lock, error);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* record = std::getenv("TRENNWICK_E2E_RECORD");
  if (record == nullptr || argc < 2) return 3;
  const fs::path folder(record);
  if (argc == 3 && std::string_view(argv[1]) == "--hold-lock") {
    return HoldLockThenRead(folder, argv[2]);
  }
  {
    std::ofstream arguments(folder / "arguments.txt", std::ios::binary);
    for (int i = 1; i < argc; ++i) arguments << argv[i] << '\n';
    std::ofstream(folder / "directory.txt", std::ios::binary)
        << fs::current_path().string() << '\n';
  }
  if (std::getenv("TRENNWICK_E2E_HAND_ON") != nullptr) {
    if (!TakeLock(argv[1])) return 5;
    return StartDetached(fs::absolute(argv[0]).string(), argv[1]) == 0 ? 0 : 6;
  }
  std::error_code error;
  fs::copy_file(argv[1], folder / "config.vmx", fs::copy_options::overwrite_existing, error);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  std::ofstream(folder / "ended.txt") << "ended\n";
  return error ? 4 : 0;
}
