// The machine's program is tied to the player: it inherits exactly the
// descriptors it is given, is passed the player's stop signals, and ends
// when the player is killed.
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "player/host/program_runner.h"
#include "tests/unit/test_directory.h"

namespace {

constexpr char kShell[] = "/bin/sh";

TEST(PlayerLifetime, OnlyTheDescriptorsToKeepReachTheProgramAtTheirNumbers) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  const int kept = ends[1];
  // One the player opened itself, and one it got without O_CLOEXEC.
  const int closeOnExec = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int inherited = open("/dev/null", O_RDONLY);
  ASSERT_GE(closeOnExec, 0);
  ASSERT_GE(inherited, 0);
  const std::string k = std::to_string(kept);
  const std::string script = "echo through >&" + k + "; for n in " + k + " " +
                             std::to_string(closeOnExec) + " " + std::to_string(inherited) +
                             "; do [ -e /proc/self/fd/$n ] && echo open $n >&2; done; exit 0";
  ProgramEnd end;
  ASSERT_TRUE(RunProgramToEnd(kShell, {"-c", script}, {kept}, &end));
  EXPECT_EQ(end.exitCode, 0);
  EXPECT_EQ(end.errorTail, "open " + k);
  char buffer[16] = {};
  EXPECT_EQ(read(ends[0], buffer, sizeof buffer), 8);
  EXPECT_STREQ(buffer, "through\n");
  // The player's own copy keeps its close-on-exec flag.
  EXPECT_NE(fcntl(kept, F_GETFD) & FD_CLOEXEC, 0);
  close(ends[0]);
  close(ends[1]);
  close(closeOnExec);
  close(inherited);
}

TEST(PlayerLifetime, AProgramKilledByASignalSaysWhichOne) {
  ProgramEnd end;
  ASSERT_TRUE(RunProgramToEnd(kShell, {"-c", "kill -KILL $$"}, {}, &end));
  EXPECT_EQ(end.signal, SIGKILL);
  EXPECT_EQ(end.exitCode, 128 + SIGKILL);
  EXPECT_EQ(end.stopSignal, 0);
  EXPECT_EQ(ReportProgramEnd("QEMU", end).text, "QEMU wurde durch das Signal 9 (SIGKILL) beendet.");
}

TEST(PlayerLifetime, StopSignalsToThePlayerArePassedOnToTheProgram) {
  for (const int stop : {SIGTERM, SIGHUP, SIGINT}) {
    // The program asks its parent, this test, to stop, then waits long.
    const std::string script = "kill -" + std::string(sigabbrev_np(stop)) + " $PPID; exec sleep 30";
    ProgramEnd end;
    ASSERT_TRUE(RunProgramToEnd(kShell, {"-c", script}, {}, &end)) << stop;
    EXPECT_EQ(end.stopSignal, stop);
    EXPECT_EQ(end.signal, stop);
    EXPECT_LT(end.seconds, 10.0);
    EXPECT_EQ(ReportProgramEnd("QEMU", end).exitCode, 128 + stop);
    // Our own handling ends with the program.
    struct sigaction now {};
    sigaction(stop, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL) << stop;
  }
}

TEST(PlayerLifetime, ASignalThePlayerIgnoresIsNeitherPassedOnNorUndone) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGHUP, &ignore, &before), 0);
  // As under nohup: the program ignores a hangup too, and so do we.
  ProgramEnd end;
  ASSERT_TRUE(RunProgramToEnd(kShell, {"-c", "kill -HUP $PPID; kill -HUP $$; exit 4"}, {}, &end));
  struct sigaction after {};
  sigaction(SIGHUP, &before, &after);
  EXPECT_EQ(end.exitCode, 4);
  EXPECT_EQ(end.stopSignal, 0);
  EXPECT_EQ(after.sa_handler, SIG_IGN);
}

// Waits up to `limit` for the child `pid` and gives its wait status; -1
// when it is still running.
int WaitAtMost(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

TEST(PlayerLifetime, TheProgramEndsWhenThePlayerIsKilled) {
  TestDirectory directory;
  const std::string record = directory.Name("pid");
  // The program is reparented to this test when its player dies, so that
  // the test can see its end.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const pid_t player = fork();
  ASSERT_GE(player, 0);
  if (player == 0) {
    ProgramEnd end;
    RunProgramToEnd(kShell,
                    {"-c", "echo $$ > '" + record + "'.part; mv '" + record + "'.part '" + record +
                               "'; exec sleep 30"},
                    {}, &end);
    _exit(0);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!std::filesystem::exists(record) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(std::filesystem::exists(record));
  const pid_t program = static_cast<pid_t>(std::stol(ReadBytes(record)));
  kill(player, SIGKILL);
  EXPECT_NE(WaitAtMost(player, std::chrono::seconds(5)), -1);
  const int status = WaitAtMost(program, std::chrono::seconds(5));
  if (status == -1) kill(program, SIGKILL);
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  ASSERT_NE(status, -1) << "the program outlived its player";
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(PlayerLifetime, SignalNamesAgreeWithTheCLibrary) {
  for (int signal = 1; signal < 32; ++signal) {
    const char* abbreviation = sigabbrev_np(signal);
    ASSERT_NE(abbreviation, nullptr) << signal;
    // glibc calls 29 by its System V synonym; kill -l and signal(7) say SIGIO.
    if (signal == SIGIO) abbreviation = "IO";
    EXPECT_EQ(SignalName(signal), std::string("SIG") + abbreviation) << signal;
  }
}

}  // namespace
