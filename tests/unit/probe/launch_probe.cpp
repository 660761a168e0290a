// A small child program for the launcher's tests. In this order it sleeps
// (--sleep MS), copies its standard input to its standard output (--echo),
// writes a text to its standard output (--stdout TEXT) and standard error
// (--stderr TEXT), writes its working directory, process id and every
// argument, one a line, to a file (--record FILE), and ends with an exit
// code (--exit N). Other arguments are only recorded.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

namespace {

struct ProbeOrders {
  int sleepMilliseconds = 0;
  bool echo = false;
  const char* standardOutputText = nullptr;
  const char* standardErrorText = nullptr;
  const char* recordFile = nullptr;
  int exitCode = 0;
};

void CopyInputToOutput() {
  char buffer[4096];
  std::size_t length;
  while ((length = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) {
    std::fwrite(buffer, 1, length, stdout);
  }
  std::fflush(stdout);
}

// Written beside the target and renamed, so that a reader never sees half.
void WriteRecord(const char* recordFile, int argc, char** argv) {
  std::error_code error;
  const std::string directory = std::filesystem::current_path(error).string();
  const std::string partial = std::string(recordFile) + ".part";
  {
    std::ofstream out(partial, std::ios::binary);
    out << directory << '\n' << getpid() << '\n';
    for (int i = 1; i < argc; ++i) out << argv[i] << '\n';
  }
  std::filesystem::rename(partial, recordFile, error);
}

}  // namespace

int main(int argc, char** argv) {
  ProbeOrders orders;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    const bool hasValue = i + 1 < argc;
    if (argument == "--sleep" && hasValue) {
      orders.sleepMilliseconds = std::atoi(argv[++i]);
    } else if (argument == "--echo") {
      orders.echo = true;
    } else if (argument == "--stdout" && hasValue) {
      orders.standardOutputText = argv[++i];
    } else if (argument == "--stderr" && hasValue) {
      orders.standardErrorText = argv[++i];
    } else if (argument == "--record" && hasValue) {
      orders.recordFile = argv[++i];
    } else if (argument == "--exit" && hasValue) {
      orders.exitCode = std::atoi(argv[++i]);
    }
  }
  if (orders.sleepMilliseconds > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(orders.sleepMilliseconds));
  }
  if (orders.echo) CopyInputToOutput();
  if (orders.standardOutputText != nullptr) {
    std::fputs(orders.standardOutputText, stdout);
    std::fflush(stdout);
  }
  if (orders.standardErrorText != nullptr) {
    std::fputs(orders.standardErrorText, stderr);
    std::fflush(stderr);
  }
  if (orders.recordFile != nullptr) WriteRecord(orders.recordFile, argc, argv);
  return orders.exitCode;
}
