// Running programs on POSIX (Linux): the program runs with its argv
// exactly as given, tied to the player's life, and the caller waits for it.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iterator>
#include <string>
#include <vector>

#include "platform/posix/system_handles.h"
#include "player/host/desktop_session.h"
#include "player/host/program_runner.h"
#include "player/host/program_runner_system.h"

extern char** environ;

namespace {

// The program is started with fork and exec, not posix_spawn: only a
// fork's child can ask for PR_SET_PDEATHSIG before it becomes the program.
// Between the two the child makes only async-signal-safe calls (the player
// may hold GLib's threads and their locks).

// The signals by which the user, the terminal or the session's end ask the
// player to stop; while a program runs they are passed on to it. QEMU ends
// cleanly on each of them.
constexpr int kStopSignals[] = {SIGTERM, SIGHUP, SIGINT};

// The signal the program gets when the player dies. SIGTERM rather than
// SIGKILL: QEMU answers it with the same clean shutdown as a forwarded
// signal (image caches flushed, qcow2 metadata written, swtpm's state
// saved), and the guest cannot stop QEMU from doing so.
constexpr int kParentDeathSignal = SIGTERM;

volatile sig_atomic_t runningChild = 0;
volatile sig_atomic_t stopSignalReceived = 0;

void PassOnStopSignal(int signal) {
  const int saved = errno;
  stopSignalReceived = signal;
  const pid_t child = runningChild;
  if (child > 0) kill(child, signal);
  errno = saved;
}

std::vector<char*> ArgumentVector(const std::string& program,
                                  const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// In the child, before exec. Returns (with errno set) only when the
// program could not be started.
void BecomeProgram(const char* program, char* const* argv, const std::vector<int>& keepOpen,
                   int errorEnd, pid_t parent, const sigset_t& parentMask) {
  // The signal follows the thread that forked: the player's main thread,
  // which lives as long as the player.
  if (prctl(PR_SET_PDEATHSIG, kParentDeathSignal) != 0) return;
  // The parent may have died before prctl took effect; then nobody would
  // ever send the signal.
  if (getppid() != parent) _exit(127);
  if (errorEnd >= 0 && dup2(errorEnd, STDERR_FILENO) < 0) return;
  // Descriptors the player got from its own parent without O_CLOEXEC stay
  // out of the machine as well; kernels before 5.11 lack this, and then
  // only those the player opened itself (all with O_CLOEXEC) stay out.
  close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
  for (const int fd : keepOpen) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags < 0 || fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) < 0) return;
  }
  // Our forwarding is no business of the program's; a signal the player
  // was started ignoring (nohup) stays ignored, as exec would keep it.
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  for (const int signal : kStopSignals) {
    struct sigaction now {};
    if (sigaction(signal, nullptr, &now) == 0 && now.sa_handler != SIG_IGN) {
      sigaction(signal, &standard, nullptr);
    }
  }
  sigprocmask(SIG_SETMASK, &parentMask, nullptr);
  execve(program, argv, environ);
}

// Starts `program`; its stderr goes to `errorEnd` (-1: ours). The stop
// signals must be blocked by the caller, who gets `parentMask` back in the
// child. False when the program could not be started.
bool StartChild(const std::string& program, const std::vector<std::string>& arguments,
                const std::vector<int>& keepOpen, int errorEnd, const sigset_t& parentMask,
                pid_t* child) {
  std::vector<char*> argv = ArgumentVector(program, arguments);
  // The child reports a failed exec through this pipe; exec closes it.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  Descriptor reportRead(report[0]);
  Descriptor reportWrite(report[1]);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    BecomeProgram(program.c_str(), argv.data(), keepOpen, errorEnd, parent, parentMask);
    const int error = errno;
    ssize_t ignored = write(reportWrite.get(), &error, sizeof error);
    (void)ignored;
    _exit(127);
  }
  close(reportWrite.Release());
  int error = 0;
  ssize_t count = 0;
  do {
    count = read(reportRead.get(), &error, sizeof error);
  } while (count < 0 && errno == EINTR);
  if (count > 0) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return false;
  }
  *child = pid;
  return true;
}

// Blocks the stop signals for as long as it lives.
class BlockedStopSignals {
 public:
  BlockedStopSignals() {
    sigset_t stop;
    sigemptyset(&stop);
    for (const int signal : kStopSignals) sigaddset(&stop, signal);
    sigprocmask(SIG_BLOCK, &stop, &previous_);
  }
  ~BlockedStopSignals() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  BlockedStopSignals(const BlockedStopSignals&) = delete;
  BlockedStopSignals& operator=(const BlockedStopSignals&) = delete;
  const sigset_t& previous() const { return previous_; }

 private:
  sigset_t previous_;
};

// Passes the stop signals on to `runningChild` while it lives; the former
// handlers come back afterwards.
class StopSignalForwarding {
 public:
  StopSignalForwarding() {
    stopSignalReceived = 0;
    struct sigaction forward {};
    forward.sa_handler = PassOnStopSignal;
    sigemptyset(&forward.sa_mask);
    for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
      sigaction(kStopSignals[i], nullptr, &previous_[i]);
      // One the player was told to ignore (nohup) is not passed on either.
      if (previous_[i].sa_handler != SIG_IGN) sigaction(kStopSignals[i], &forward, nullptr);
    }
  }
  ~StopSignalForwarding() {
    runningChild = 0;
    for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
      sigaction(kStopSignals[i], &previous_[i], nullptr);
    }
  }
  StopSignalForwarding(const StopSignalForwarding&) = delete;
  StopSignalForwarding& operator=(const StopSignalForwarding&) = delete;

 private:
  struct sigaction previous_[std::size(kStopSignals)];
};

void WaitForChild(pid_t child, int* status) {
  while (waitpid(child, status, 0) < 0) {
    if (errno != EINTR) {
      *status = 0;
      return;
    }
  }
}

bool RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
              const std::vector<int>& keepOpen, ErrorTail* tail, ProgramEnd* end) {
  // The child's stderr goes into a pipe that we read to its end: the pipe
  // is only as busy as the child's own messages, so it costs no time.
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  Descriptor readEnd(ends[0]);
  Descriptor writeEnd(ends[1]);
  StopSignalForwarding forwarding;
  pid_t child = 0;
  {
    // Blocked until runningChild is set, so that no stop signal is lost in
    // between; another thread of ours may still take one, so it is looked
    // at once more afterwards.
    BlockedStopSignals blocked;
    if (!StartChild(program, arguments, keepOpen, writeEnd.get(), blocked.previous(), &child)) {
      return false;
    }
    runningChild = child;
  }
  if (stopSignalReceived != 0) kill(child, stopSignalReceived);
  close(writeEnd.Release());
  char buffer[4096];
  while (true) {
    const ssize_t count = read(readEnd.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    tail->Append(buffer, static_cast<std::size_t>(count));
    WriteToStandardError({buffer, static_cast<std::size_t>(count)});
  }
  int status = 0;
  WaitForChild(child, &status);
  if (WIFEXITED(status)) {
    end->exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    end->signal = WTERMSIG(status);
    end->exitCode = 128 + end->signal;
  } else {
    end->exitCode = 1;
  }
  end->stopSignal = stopSignalReceived;
  return true;
}

bool StartCompanion(const std::string& program, const std::vector<std::string>& arguments,
                    const std::vector<int>& keepOpen, ProcessHandles* handles) {
  BlockedStopSignals blocked;
  pid_t child = 0;
  if (!StartChild(program, arguments, keepOpen, -1, blocked.previous(), &child)) return false;
  handles->process = child;
  return true;
}

bool CompanionRunning(ProcessHandles* handles) {
  if (handles->process <= 0) return false;
  pid_t waited = 0;
  do {
    waited = waitpid(static_cast<pid_t>(handles->process), nullptr, WNOHANG);
  } while (waited < 0 && errno == EINTR);
  if (waited == 0) return true;
  handles->process = 0;
  return false;
}

void StopCompanion(ProcessHandles* handles, int graceMilliseconds) {
  if (!CompanionRunning(handles)) return;
  const pid_t child = static_cast<pid_t>(handles->process);
  kill(child, SIGTERM);
  constexpr int kPollMilliseconds = 20;
  for (int waited = 0; waited < graceMilliseconds; waited += kPollMilliseconds) {
    if (!CompanionRunning(handles)) return;
    usleep(kPollMilliseconds * 1000);
  }
  kill(child, SIGKILL);
  int status = 0;
  WaitForChild(child, &status);
  handles->process = 0;
}

}  // namespace

const ProgramRunnerSystem kSystemProgramRunnerCalls = {RunToEnd, StartCompanion, CompanionRunning,
                                                       StopCompanion};
