#include "tests/unit/launch_test_support.h"

#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace launch_test {

std::string ProbePath() {
  return LAUNCH_PROBE_PATH;
}

std::string ReadToEnd(std::intptr_t readEnd) {
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t length = read(static_cast<int>(readEnd), buffer, sizeof buffer);
    if (length > 0) {
      bytes.append(buffer, static_cast<std::size_t>(length));
    } else if (length == 0 || errno != EINTR) {
      return bytes;
    }
  }
}

bool WriteAll(std::intptr_t writeEnd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t length = write(static_cast<int>(writeEnd), bytes.data(), bytes.size());
    if (length < 0 && errno == EINTR) continue;
    if (length <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(length));
  }
  return true;
}

void ClosePipeEnd(std::intptr_t end) {
  close(static_cast<int>(end));
}

int WaitForExitCode(std::intptr_t process) {
  int status = 0;
  pid_t result;
  do {
    result = waitpid(static_cast<pid_t>(process), &status, 0);
  } while (result < 0 && errno == EINTR);
  if (result < 0 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

int OpenHandleCount() {
  int count = 0;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++count;
  }
  return error ? -1 : count;
}

int LeakTestLaunches() {
  return 1000;
}

}  // namespace launch_test
