#include "platform/program_launcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/program_launcher_system.h"
#include "platform/system.h"
#include "test_directory.h"
#include "tests/unit/launch_test_support.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
namespace fs = std::filesystem;

// --- The launch logic that needs no system ---

TEST(LaunchCommandLine, QuotesAnUnquotedPathAndAppendsParametersAfterOneBlank) {
  EXPECT_EQ(LaunchCommandLine("C:\\Tools\\p.exe", "-x -y"), "\"C:\\Tools\\p.exe\" -x -y");
  EXPECT_EQ(LaunchCommandLine("C:\\My Tools\\p.exe", ""), "\"C:\\My Tools\\p.exe\"");
  EXPECT_EQ(LaunchCommandLine("", ""), "\"\"");
  // Nothing inside is escaped, not even a quote.
  EXPECT_EQ(LaunchCommandLine("a\"b", "\"c d\" e"), "\"a\"b\" \"c d\" e");
  // A program text that begins with a quote is taken unchanged.
  EXPECT_EQ(LaunchCommandLine("\"C:\\p.exe\" -own", ""), "\"C:\\p.exe\" -own");
  EXPECT_EQ(LaunchCommandLine("\"C:\\p.exe\" -own", "-x"), "\"C:\\p.exe\" -own -x");
}

TEST(SplitLaunchCommandLine, CutsAtBlanksAndAroundDoubleQuotes) {
  using Arguments = std::vector<std::string>;
  EXPECT_EQ(SplitLaunchCommandLine("\"/opt/my tools/p\" -x  \"a b\" c"),
            (Arguments{"/opt/my tools/p", "-x", "a b", "c"}));
  // A closing quote ends an argument even without a blank after it.
  EXPECT_EQ(SplitLaunchCommandLine("p \"a b\"x"), (Arguments{"p", "a b", "x"}));
  // Quotes inside an argument that begins otherwise belong to it.
  EXPECT_EQ(SplitLaunchCommandLine("p ab\"x y\""), (Arguments{"p", "ab\"x", "y\""}));
  EXPECT_EQ(SplitLaunchCommandLine("p \"\" x"), (Arguments{"p", "", "x"}));
  EXPECT_EQ(SplitLaunchCommandLine("p \"abc"), (Arguments{"p", "abc"}));
  EXPECT_EQ(SplitLaunchCommandLine("p a\tb  "), (Arguments{"p", "a\tb"}));
  EXPECT_EQ(SplitLaunchCommandLine("   "), Arguments{});
  // What a command line was made of comes back out of it.
  EXPECT_EQ(SplitLaunchCommandLine(LaunchCommandLine("/a b/p", "-x \"y z\"")),
            (Arguments{"/a b/p", "-x", "y z"}));
}

TEST(DesktopFallbackDirectory, IsTheGivenOneOrThePathUpToItsLastSeparator) {
  EXPECT_EQ(DesktopFallbackDirectory("D:\\Docs\\a.txt", "", '\\'), "D:\\Docs\\");
  EXPECT_EQ(DesktopFallbackDirectory("D:\\Docs\\a.txt", "E:\\w\\", '\\'), "E:\\w\\");
  EXPECT_EQ(DesktopFallbackDirectory("c:\\tmp\\t_1\\\\trennwick.vmx", "", '\\'),
            "c:\\tmp\\t_1\\\\");
  EXPECT_EQ(DesktopFallbackDirectory("/home/u/a.vmx", "", '/'), "/home/u/");
  // None for a bare name or one whose only separator comes first.
  EXPECT_EQ(DesktopFallbackDirectory("a.txt", "", '\\'), "");
  EXPECT_EQ(DesktopFallbackDirectory("\\a.txt", "", '\\'), "");
  EXPECT_EQ(DesktopFallbackDirectory("/a.vmx", "", '/'), "");
  EXPECT_EQ(DesktopFallbackDirectory("", "", '\\'), "");
  // Only the system's own separator counts.
  EXPECT_EQ(DesktopFallbackDirectory("C:/a/b.txt", "", '\\'), "");
}

TEST(LaunchFlagRules, StreamFlagsShowValueAndConsole) {
  for (std::uint32_t flag :
       {LaunchCaptureOutput, LaunchFeedInput, LaunchCaptureErrors, LaunchChainInput}) {
    EXPECT_TRUE(HasStreamFlag(flag)) << flag;
  }
  EXPECT_FALSE(HasStreamFlag(LaunchWaitForEnd | LaunchHidden | LaunchKeepProcess | 128));
  EXPECT_EQ(LaunchShowValue(LaunchHidden), kShowHidden);
  EXPECT_EQ(LaunchShowValue(LaunchWaitForEnd | 0xFFFFFFF0u), kShowNormal);
  EXPECT_TRUE(LaunchDetached(LaunchHidden, false));
  EXPECT_FALSE(LaunchDetached(LaunchHidden, true));
  EXPECT_FALSE(LaunchDetached(LaunchKeepProcess, false));
}

// --- The launch steps, over a recording stand-in of the system ---

// Hands out numbered handles and remembers which are open, so that a test
// sees every handle a launch made and whether it was closed.
struct FakeSystem {
  LaunchHandle nextHandle = 100;
  std::set<LaunchHandle> openHandles;
  std::set<LaunchHandle> liveProcesses;
  int pipesMade = 0;
  int failingPipe = -1;  // -2: every pipe fails
  bool duplicateFails = false;
  bool startSucceeds = true;
  bool desktopSucceeds = true;
  bool desktopStartsProcess = true;
  std::vector<DirectStart> starts;
  std::vector<DesktopOpen> opens;
  std::vector<LaunchHandle> waited;

  LaunchHandle Take() {
    openHandles.insert(nextHandle);
    return nextHandle++;
  }
};

FakeSystem* fake = nullptr;

bool FakeCreatePipe(LaunchHandle* readEnd, LaunchHandle* writeEnd) {
  const int number = fake->pipesMade++;
  if (fake->failingPipe == -2 || fake->failingPipe == number) return false;
  *readEnd = fake->Take();
  *writeEnd = fake->Take();
  return true;
}
bool FakeDuplicate(LaunchHandle source, LaunchHandle* duplicate) {
  EXPECT_TRUE(fake->openHandles.count(source));
  if (fake->duplicateFails) return false;
  *duplicate = fake->Take();
  return true;
}
void FakeClose(LaunchHandle handle) {
  EXPECT_EQ(fake->openHandles.erase(handle), 1u) << handle;
}
LaunchHandle FakeStandardHandle(StandardStream stream) {
  return 900 + stream;
}
bool FakeStart(const DirectStart& start, StartedProcess* started) {
  fake->starts.push_back(start);
  if (!fake->startSucceeds) return false;
  started->process = fake->Take();
  fake->openHandles.erase(started->process);
  fake->liveProcesses.insert(started->process);
  started->processId = 4242;
  return true;
}
bool FakeOpen(const DesktopOpen& open, LaunchHandle* process) {
  fake->opens.push_back(open);
  if (!fake->desktopSucceeds) return false;
  *process = kNoLaunchHandle;
  if (fake->desktopStartsProcess) {
    *process = fake->Take();
    fake->openHandles.erase(*process);
    fake->liveProcesses.insert(*process);
  }
  return true;
}
void FakeWait(LaunchHandle process) {
  EXPECT_TRUE(fake->liveProcesses.count(process));
  fake->waited.push_back(process);
}
void FakeRelease(LaunchHandle process) {
  EXPECT_EQ(fake->liveProcesses.erase(process), 1u);
}

class LaunchSteps : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = programLauncherSystem;
    fake = &system_;
    programLauncherSystem = {FakeCreatePipe, FakeDuplicate, FakeClose, FakeStandardHandle,
                             FakeStart,      FakeOpen,      FakeWait,  FakeRelease};
  }
  void TearDown() override {
    programLauncherSystem = saved_;
    fake = nullptr;
  }

  static const LaunchedProgram& Record(std::intptr_t result) {
    return *reinterpret_cast<const LaunchedProgram*>(result);
  }

  FakeSystem system_;

 private:
  ProgramLauncherSystem saved_{};
};

TEST_F(LaunchSteps, AHiddenProgramWithoutPipesGetsNoConsoleAndInheritsNothing) {
  EXPECT_EQ(LaunchProgram("C:\\p.exe", "-x", "C:\\w", LaunchHidden | LaunchCaptureOutput), 1);
  ASSERT_EQ(system_.starts.size(), 1u);
  const DirectStart& start = system_.starts[0];
  EXPECT_EQ(start.commandLine, "\"C:\\p.exe\" -x");
  EXPECT_EQ(start.directory, "C:\\w");
  EXPECT_EQ(start.showWindow, kShowHidden);
  EXPECT_TRUE(start.detached);
  EXPECT_FALSE(start.redirected);
  EXPECT_EQ(system_.pipesMade, 0);  // pipes only for a kept process
  EXPECT_TRUE(system_.waited.empty());
  EXPECT_TRUE(system_.liveProcesses.empty());  // released
}

TEST_F(LaunchSteps, PipesComeInTheOrderInputOutputErrorAndKeepOnlyPrivateEnds) {
  const std::intptr_t result = LaunchProgram("p", "", "",
                                             LaunchKeepProcess | LaunchHidden | LaunchFeedInput |
                                                 LaunchCaptureOutput | LaunchCaptureErrors);
  ASSERT_GT(result, 1);
  // Pipe n has read end 100+3n, write end 101+3n and the duplicate 102+3n.
  const DirectStart& start = system_.starts.at(0);
  EXPECT_TRUE(start.redirected);
  EXPECT_FALSE(start.detached);
  EXPECT_EQ(start.showWindow, kShowHidden);
  EXPECT_EQ(start.streams[kStandardInput], 100);
  EXPECT_EQ(start.streams[kStandardOutput], 104);
  EXPECT_EQ(start.streams[kStandardError], 107);
  const LaunchedProgram& record = Record(result);
  EXPECT_EQ(record.inputWriteEnd, 102);
  EXPECT_EQ(record.outputReadEnd, 105);
  EXPECT_EQ(record.errorReadEnd, 108);
  EXPECT_EQ(record.processId, 4242);
  // The launcher holds exactly what the record holds.
  EXPECT_EQ(system_.openHandles, (std::set<LaunchHandle>{102, 105, 108}));
  EXPECT_EQ(system_.liveProcesses, (std::set<LaunchHandle>{record.process}));
}

TEST_F(LaunchSteps, FeedInputAloneGivesTheChildTheLaunchersOwnOutputAndErrors) {
  const std::intptr_t result = LaunchProgram("p", "", "", LaunchKeepProcess | LaunchFeedInput);
  ASSERT_GT(result, 1);
  const DirectStart& start = system_.starts.at(0);
  EXPECT_TRUE(start.redirected);
  EXPECT_EQ(start.streams[kStandardInput], 100);
  EXPECT_EQ(start.streams[kStandardOutput], 900 + kStandardOutput);
  EXPECT_EQ(start.streams[kStandardError], 900 + kStandardError);
  EXPECT_EQ(Record(result).outputReadEnd, 0);
  EXPECT_EQ(Record(result).errorReadEnd, 0);
}

TEST_F(LaunchSteps, AStreamWithoutAPipeStaysAsItIs) {
  system_.failingPipe = 1;  // the output pipe
  std::intptr_t result = LaunchProgram(
      "p", "", "", LaunchKeepProcess | LaunchFeedInput | LaunchCaptureOutput | LaunchHidden);
  ASSERT_GT(result, 1);
  EXPECT_EQ(system_.starts.at(0).streams[kStandardOutput], 900 + kStandardOutput);
  EXPECT_EQ(Record(result).outputReadEnd, 0);
  EXPECT_NE(Record(result).inputWriteEnd, 0);

  system_.failingPipe = -2;
  result = LaunchProgram("p", "", "", LaunchKeepProcess | LaunchCaptureOutput | LaunchHidden);
  ASSERT_GT(result, 1);
  EXPECT_FALSE(system_.starts.at(1).redirected);
  EXPECT_TRUE(system_.starts.at(1).detached);
}

TEST_F(LaunchSteps, WithoutAPrivateDuplicateTheRecordKeepsTheOriginalEnd) {
  system_.duplicateFails = true;
  const std::intptr_t result = LaunchProgram("p", "", "", LaunchKeepProcess | LaunchCaptureOutput);
  ASSERT_GT(result, 1);
  EXPECT_EQ(Record(result).outputReadEnd, 100);
  EXPECT_EQ(system_.openHandles, (std::set<LaunchHandle>{100}));
}

TEST_F(LaunchSteps, AFailedStartWithAStreamFlagClosesEverythingAndSkipsTheDesktop) {
  system_.startSucceeds = false;
  EXPECT_EQ(LaunchProgram("p", "", "",
                          LaunchKeepProcess | LaunchFeedInput | LaunchCaptureOutput |
                              LaunchCaptureErrors | LaunchWaitForEnd),
            0);
  EXPECT_EQ(system_.pipesMade, 3);
  EXPECT_TRUE(system_.openHandles.empty());
  EXPECT_EQ(LaunchProgram("p", "", "", LaunchCaptureOutput), 0);  // no pipe, still no desktop
  EXPECT_EQ(LaunchProgram("p", "", "", LaunchChainInput), 0);
  EXPECT_EQ(system_.starts.size(), 3u);
  EXPECT_TRUE(system_.opens.empty());
}

TEST_F(LaunchSteps, AFailedStartGoesToTheDesktopWithThePathUnquoted) {
  system_.startSucceeds = false;
  const std::string sep(1, system_facts::kPathSeparator);
  const std::string document = "D:" + sep + "Docs" + sep + "a.vmx";
  EXPECT_EQ(LaunchProgram(document, "-p", "", LaunchHidden | LaunchWaitForEnd), 1);
  ASSERT_EQ(system_.opens.size(), 1u);
  EXPECT_EQ(system_.opens[0].file, document);
  EXPECT_EQ(system_.opens[0].parameters, "-p");
  EXPECT_EQ(system_.opens[0].directory, "D:" + sep + "Docs" + sep);
  EXPECT_EQ(system_.opens[0].showWindow, kShowHidden);
  EXPECT_EQ(system_.waited.size(), 1u);
  EXPECT_TRUE(system_.liveProcesses.empty());

  EXPECT_EQ(LaunchProgram(document, "", "E:" + sep + "w"), 1);
  EXPECT_EQ(system_.opens.at(1).directory, "E:" + sep + "w");
  EXPECT_EQ(system_.opens.at(1).showWindow, kShowNormal);
  EXPECT_EQ(system_.waited.size(), 1u);  // no LaunchWaitForEnd

  system_.desktopSucceeds = false;
  EXPECT_EQ(LaunchProgram(document, "", "", LaunchWaitForEnd | LaunchKeepProcess), 0);
}

TEST_F(LaunchSteps, ADocumentForARunningProgramLeavesNothingToWaitFor) {
  system_.startSucceeds = false;
  system_.desktopStartsProcess = false;
  EXPECT_EQ(LaunchProgram("a.vmx", "", "", LaunchWaitForEnd), 1);
  const std::intptr_t result = LaunchProgram("a.vmx", "", "", LaunchWaitForEnd | LaunchKeepProcess);
  ASSERT_GT(result, 1);
  EXPECT_EQ(Record(result).process, 0);
  EXPECT_TRUE(system_.waited.empty());
}

// --- Real programs: the probe of tests/unit/probe ---

// What the probe wrote with --record.
struct ProbeRecord {
  std::string directory;
  long processId = 0;
  std::vector<std::string> arguments;
};

std::optional<ProbeRecord> ReadProbeRecord(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  ProbeRecord record;
  std::string line;
  if (!std::getline(in, record.directory) || !std::getline(in, line)) return std::nullopt;
  record.processId = std::stol(line);
  while (std::getline(in, line)) record.arguments.push_back(line);
  return record;
}

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

long MillisecondsSince(steady_clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count());
}

TEST(LaunchProbe, WaitForEndReturnsOnlyAfterTheProgramEnded) {
  TestDirectory temporary;
  const std::string recordFile = temporary.Name("record.txt");
  const auto start = steady_clock::now();
  EXPECT_EQ(LaunchProgram(launch_test::ProbePath(), "--sleep 300 --record " + Quoted(recordFile),
                          "", LaunchWaitForEnd),
            1);
  EXPECT_GE(MillisecondsSince(start), 300);
  EXPECT_TRUE(fs::exists(recordFile));
}

TEST(LaunchProbe, WithoutWaitForEndTheCallReturnsWhileTheProgramRuns) {
  TestDirectory temporary;
  const std::string recordFile = temporary.Name("record.txt");
  const std::intptr_t result =
      LaunchProgram(launch_test::ProbePath(), "--sleep 1000 --record " + Quoted(recordFile), "",
                    LaunchKeepProcess);
  ASSERT_GT(result, 1);
  EXPECT_FALSE(fs::exists(recordFile));
  const auto& record = *reinterpret_cast<const LaunchedProgram*>(result);
  EXPECT_EQ(launch_test::WaitForExitCode(record.process), 0);
  EXPECT_TRUE(fs::exists(recordFile));
}

TEST(LaunchProbe, ParametersAndWorkingDirectoryArriveAsGiven) {
  TestDirectory temporary;
  const std::string recordFile = temporary.Name("record.txt");
  const fs::path workDirectory = temporary.path() / "work";
  fs::create_directory(workDirectory);
  ASSERT_EQ(LaunchProgram(launch_test::ProbePath(),
                          "--record " + Quoted(recordFile) + " plain \"two words\"",
                          workDirectory.string(), LaunchWaitForEnd),
            1);
  const std::optional<ProbeRecord> record = ReadProbeRecord(recordFile);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->arguments,
            (std::vector<std::string>{"--record", recordFile, "plain", "two words"}));
  EXPECT_TRUE(fs::equivalent(record->directory, workDirectory));
}

TEST(LaunchProbe, AQuotedProgramTextCarriesItsOwnArguments) {
  TestDirectory temporary;
  const std::string recordFile = temporary.Name("record.txt");
  ASSERT_EQ(LaunchProgram(Quoted(launch_test::ProbePath()) + " --record " + Quoted(recordFile),
                          "tail", "", LaunchWaitForEnd),
            1);
  const std::optional<ProbeRecord> record = ReadProbeRecord(recordFile);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->arguments, (std::vector<std::string>{"--record", recordFile, "tail"}));
}

TEST(LaunchProbe, AProgramPathWithBlanksStartsAndAHiddenOneToo) {
  TestDirectory temporary;
  const fs::path probe = launch_test::ProbePath();
  const fs::path folder = temporary.path() / "with blank";
  fs::create_directory(folder);
  const fs::path copy = folder / probe.filename();
  fs::copy_file(probe, copy);
  const std::string recordFile = temporary.Name("record.txt");
  ASSERT_EQ(LaunchProgram(copy.string(), "--record " + Quoted(recordFile), "",
                          LaunchWaitForEnd | LaunchHidden),
            1);
  EXPECT_TRUE(fs::exists(recordFile));
}

TEST(LaunchProbe, AKeptProcessCarriesItsProcessIdAndExitCode) {
  TestDirectory temporary;
  const std::string recordFile = temporary.Name("record.txt");
  const std::intptr_t result =
      LaunchProgram(launch_test::ProbePath(), "--exit 3 --record " + Quoted(recordFile), "",
                    LaunchKeepProcess | LaunchWaitForEnd);
  ASSERT_GT(result, 1);
  const auto& kept = *reinterpret_cast<const LaunchedProgram*>(result);
  EXPECT_EQ(&kept, &LaunchedProgramList.front());
  const std::optional<ProbeRecord> record = ReadProbeRecord(recordFile);
  ASSERT_TRUE(record);
  EXPECT_EQ(kept.processId, record->processId);
  EXPECT_NE(kept.process, 0);
  EXPECT_EQ(kept.inputWriteEnd, 0);
  EXPECT_EQ(launch_test::WaitForExitCode(kept.process), 3);
}

TEST(LaunchProbe, ThePipesFeedInputAndCaptureOutputAndErrors) {
  const std::intptr_t result = LaunchProgram(
      launch_test::ProbePath(), "--echo --stderr trouble --exit 5", "",
      LaunchKeepProcess | LaunchFeedInput | LaunchCaptureOutput | LaunchCaptureErrors);
  ASSERT_GT(result, 1);
  auto& kept = *reinterpret_cast<LaunchedProgram*>(result);
  ASSERT_NE(kept.inputWriteEnd, 0);
  ASSERT_NE(kept.outputReadEnd, 0);
  ASSERT_NE(kept.errorReadEnd, 0);
  EXPECT_TRUE(launch_test::WriteAll(kept.inputWriteEnd, "ping pong"));
  // The end of input reaches the child only if no copy of our end did.
  launch_test::ClosePipeEnd(kept.inputWriteEnd);
  kept.inputWriteEnd = 0;
  EXPECT_EQ(launch_test::ReadToEnd(kept.outputReadEnd), "ping pong");
  EXPECT_EQ(launch_test::ReadToEnd(kept.errorReadEnd), "trouble");
  EXPECT_EQ(launch_test::WaitForExitCode(kept.process), 5);
}

TEST(LaunchProbe, AMissingProgramStartsNothing) {
  TestDirectory temporary;
  const std::string missing = temporary.Name("missing.exe");
  EXPECT_EQ(LaunchProgram(missing), 0);
  EXPECT_EQ(LaunchProgram(missing, "", "", LaunchWaitForEnd | LaunchKeepProcess), 0);
  EXPECT_EQ(LaunchProgram(missing, "", "", LaunchCaptureOutput | LaunchKeepProcess), 0);
  EXPECT_EQ(LaunchProgram(missing, "", "", LaunchChainInput), 0);
  // A working directory that does not exist stops a direct start as well.
  EXPECT_EQ(LaunchProgram(launch_test::ProbePath(), "", temporary.Name("nowhere"), LaunchFeedInput),
            0);
}

TEST(LaunchProbe, LaunchesLeaveNoHandleBehind) {
  const std::string probe = launch_test::ProbePath();
  const std::string missing = probe + ".missing";
  // Warm up whatever the system keeps open after a first start.
  ASSERT_EQ(LaunchProgram(probe, "", "", LaunchWaitForEnd), 1);
  const int before = launch_test::OpenHandleCount();
  ASSERT_GT(before, 0);
  const int launches = launch_test::LeakTestLaunches();
  for (int i = 0; i < launches; ++i) {
    ASSERT_EQ(LaunchProgram(probe, "", "", LaunchWaitForEnd), 1) << i;
    // Pipes made and closed again.
    ASSERT_EQ(LaunchProgram(
                  missing, "", "",
                  LaunchKeepProcess | LaunchFeedInput | LaunchCaptureOutput | LaunchCaptureErrors),
              0);
  }
  EXPECT_EQ(launch_test::OpenHandleCount(), before);
}

TEST(Pause, WaitsForTheGivenTime) {
  auto start = steady_clock::now();
  Pause(0);
  EXPECT_LT(MillisecondsSince(start), 100);
  start = steady_clock::now();
  Pause(200);
  const long elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 200);
  EXPECT_LT(elapsed, 1000);
}

}  // namespace
