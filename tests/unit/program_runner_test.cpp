#include "player/host/program_runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "test_directory.h"

namespace {

TEST(ErrorTail, KeepsTheLastWholeLinesOfALongStream) {
  ErrorTail tail;
  tail.Append("first\nsecond\n", 13);
  EXPECT_EQ(tail.Text(), "first\nsecond");
  const std::string line(99, 'x');
  for (int i = 0; i < 100; ++i) tail.Append((line + "\n").data(), 100);
  tail.Append("last words\n", 11);
  const std::string text = tail.Text();
  EXPECT_LE(text.size(), kErrorTailBytes);
  EXPECT_GT(text.size(), kErrorTailBytes - 200);
  EXPECT_EQ(text.substr(0, 99), line);  // starts at a line, not inside one
  EXPECT_EQ(text.substr(text.size() - 10), "last words");
  EXPECT_EQ(ErrorTail().Text(), "");
}

TEST(RunProgramToEnd, KeepsTheEndOfTheProgramsErrorOutput) {
  std::string long_text;
  for (int i = 0; i < 200; ++i) long_text += "line " + std::to_string(i) + " of QEMU's complaint\n";
  long_text += "qemu: could not open disk";
  ProgramEnd end;
  ASSERT_TRUE(RunProgramToEnd(LAUNCH_PROBE_PATH, {"--stderr", long_text, "--exit", "1"}, {}, &end));
  EXPECT_EQ(end.exitCode, 1);
  ASSERT_GE(end.errorTail.size(), 26u);
  EXPECT_EQ(end.errorTail.substr(end.errorTail.size() - 25), "qemu: could not open disk");
  EXPECT_LE(end.errorTail.size(), kErrorTailBytes);
  EXPECT_EQ(end.errorTail.rfind("line ", 0), 0u);
}

TEST(RunProgramToEnd, HandsOverEveryArgumentExactlyAndGivesTheExitCode) {
  TestDirectory directory;
  const std::string record = directory.Name("record.txt");
  const std::vector<std::string> tricky = {"guest=a b", "a\"b", "C:\\dir\\",   "x\\\"y",
                                           "-display",  "\\\\", "comma,,value"};
  std::vector<std::string> arguments = {"--record", record, "--exit", "7"};
  arguments.insert(arguments.end(), tricky.begin(), tricky.end());
  ProgramEnd end;
  ASSERT_TRUE(RunProgramToEnd(LAUNCH_PROBE_PATH, arguments, {}, &end));
  EXPECT_EQ(end.exitCode, 7);
  EXPECT_GE(end.seconds, 0.0);
  std::vector<std::string> lines;
  std::string text = ReadBytes(record);
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end == std::string::npos ? text.size() : end + 1;
  }
  // The working directory and the process id come first.
  ASSERT_EQ(lines.size(), 2 + arguments.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()), arguments);

  EXPECT_FALSE(RunProgramToEnd(directory.Name("no such program"), {}, {}, &end));
}

TEST(ProgramEndReport, NamesTheSignalAndStaysSilentOnAStopThatWasPassedOn) {
  ProgramEnd end;
  EXPECT_EQ(ReportProgramEnd("QEMU", end).exitCode, 0);
  EXPECT_EQ(ReportProgramEnd("QEMU", end).text, "");

  end.exitCode = 1;
  EXPECT_EQ(ReportProgramEnd("QEMU", end).text, "QEMU ist mit dem Code 1 beendet worden.");
  EXPECT_EQ(ReportProgramEnd("QEMU", end).exitCode, 1);

  end.signal = 9;
  end.exitCode = 137;
  EXPECT_EQ(ReportProgramEnd("QEMU", end).text, "QEMU wurde durch das Signal 9 (SIGKILL) beendet.");
  EXPECT_EQ(ReportProgramEnd("QEMU", end).exitCode, 137);
  end.signal = 40;
  end.exitCode = 168;
  EXPECT_EQ(ReportProgramEnd("QEMU", end).text, "QEMU wurde durch das Signal 40 beendet.");

  // The player was asked to stop and passed it on: however QEMU ended
  // then, the player ends as the signal says, without a box.
  for (const int stop : {15, 1, 2}) {
    end.stopSignal = stop;
    EXPECT_EQ(ReportProgramEnd("QEMU", end).text, "") << stop;
    EXPECT_EQ(ReportProgramEnd("QEMU", end).exitCode, 128 + stop);
  }
}

TEST(SignalName, KnowsTheFixedLinuxSignals) {
  EXPECT_EQ(SignalName(9), "SIGKILL");
  EXPECT_EQ(SignalName(15), "SIGTERM");
  EXPECT_EQ(SignalName(11), "SIGSEGV");
  EXPECT_EQ(SignalName(0), "");
  EXPECT_EQ(SignalName(34), "");
  EXPECT_EQ(SignalName(-1), "");
}

TEST(CompanionProgram, RunsUntilStoppedAndIsStoppedWithItsOwner) {
  CompanionProgram companion;
  EXPECT_FALSE(companion.Running());
  companion.Stop();  // none started: nothing to do
  ASSERT_TRUE(StartCompanionProgram(LAUNCH_PROBE_PATH, {"--sleep", "60000"}, {}, &companion));
  EXPECT_TRUE(companion.Running());
  // One object owns one program.
  EXPECT_FALSE(StartCompanionProgram(LAUNCH_PROBE_PATH, {}, {}, &companion));
  const auto start = std::chrono::steady_clock::now();
  companion.Stop();
  EXPECT_FALSE(companion.Running());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  // One that ends by itself is seen to have ended.
  ASSERT_TRUE(StartCompanionProgram(LAUNCH_PROBE_PATH, {"--exit", "3"}, {}, &companion));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (companion.Running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(companion.Running());

  TestDirectory directory;
  CompanionProgram missing;
  EXPECT_FALSE(StartCompanionProgram(directory.Name("no such program"), {}, {}, &missing));
  EXPECT_FALSE(missing.Running());
}

}  // namespace
