// Stands in for the program that opens .vmx files: it copies the
// configuration it was given, notes its arguments and working directory
// into the folder named by TRENNWICK_E2E_RECORD, waits a moment, notes that
// it ended, and exits.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  const char* record = std::getenv("TRENNWICK_E2E_RECORD");
  if (record == nullptr || argc < 2) return 3;
  const fs::path folder(record);
  {
    std::ofstream arguments(folder / "arguments.txt", std::ios::binary);
    for (int i = 1; i < argc; ++i) arguments << argv[i] << '\n';
    std::ofstream(folder / "directory.txt", std::ios::binary)
        << fs::current_path().string() << '\n';
  }
  std::error_code error;
  fs::copy_file(argv[1], folder / "config.vmx", fs::copy_options::overwrite_existing, error);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  std::ofstream(folder / "ended.txt") << "ended\n";
  return error ? 4 : 0;
}
