#include "platform/player_host.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/player_host_system.h"
#include "platform/system.h"
#include "test_directory.h"

namespace {

// The MSVCRT rules, as QEMU's Windows build reads its command line (argv[1]
// on; the program's name has rules of its own).
std::vector<std::string> ParseLikeMsvcrt(const std::string& line) {
  std::vector<std::string> arguments;
  std::size_t i = 0;
  while (true) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::string argument;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      std::size_t backslashes = 0;
      while (i < line.size() && line[i] == '\\') ++backslashes, ++i;
      if (i < line.size() && line[i] == '"') {
        argument.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          argument += '"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          argument += '"';
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        argument.append(backslashes, '\\');
        if (i < line.size() && !(!quoted && (line[i] == ' ' || line[i] == '\t'))) {
          argument += line[i++];
        }
      }
    }
    arguments.push_back(argument);
  }
  return arguments;
}

TEST(WindowsCommandLine, RoundTripsEveryArgumentThroughTheMsvcrtRules) {
  const std::vector<std::string> arguments = {"-name",      "guest=a b",    "",
                                              "a\"b",       "\"",           "C:\\dir with blank\\",
                                              "C:\\a\\\"b", "trailing\\\\", "\\\\server\\share",
                                              "tab\there",  "plain",        "x\\\\\"y",
                                              "-display"};
  EXPECT_EQ(ParseLikeMsvcrt(WindowsCommandLine(arguments)), arguments);
  EXPECT_EQ(QuoteWindowsArgument("C:\\plain\\path"), "C:\\plain\\path");
  EXPECT_EQ(QuoteWindowsArgument("a b\\"), "\"a b\\\\\"");
  EXPECT_EQ(QuoteWindowsArgument("a\"b"), "\"a\\\"b\"");
  EXPECT_EQ(QuoteWindowsArgument(""), "\"\"");
}

TEST(SearchPath, SplitsSkippingEmptyEntries) {
  EXPECT_EQ(SplitSearchPath("/usr/bin::/bin/", ':', '/'),
            (std::vector<std::string>{"/usr/bin/", "/bin/"}));
  EXPECT_EQ(SplitSearchPath("C:\\q;;D:\\w\\", ';', '\\'),
            (std::vector<std::string>{"C:\\q\\", "D:\\w\\"}));
  EXPECT_TRUE(SplitSearchPath("", ':', '/').empty());
}

// A host with the given environment and program files.
class PlayerHostStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = playerHostSystem;
    current = this;
    playerHostSystem.environmentValue = [](const std::string& name, std::string* value) {
      const auto found = current->environment.find(name);
      if (found == current->environment.end()) return false;
      *value = found->second;
      return true;
    };
    playerHostSystem.isProgramFile = [](const std::string& path) {
      return current->programs.count(path) > 0;
    };
    playerHostSystem.exists = [](const std::string& path) {
      return current->existing.count(path) > 0;
    };
    playerHostSystem.displayOpens = [] { return current->displayOpens; };
  }
  void TearDown() override { playerHostSystem = saved_; }

  static inline PlayerHostStandIn* current = nullptr;
  std::map<std::string, std::string> environment;
  std::set<std::string> programs;
  std::set<std::string> existing;
  bool displayOpens = true;

 private:
  PlayerHostSystem saved_;
};

TEST_F(PlayerHostStandIn, FindsTheProgramBesideThePlayerFirstThenOnThePath) {
  const char s = system_facts::kPathSeparator;
  const std::string file = std::string("qemu-system-x86_64") + kProgramExtension;
  const std::string list = std::string("a") + kSearchPathSeparator + "b";
  environment["PATH"] = list;
  EXPECT_EQ(FindProgram("qemu-system-x86_64", ""), "");
  programs.insert(std::string("b") + s + file);
  EXPECT_EQ(FindProgram("qemu-system-x86_64", ""), std::string("b") + s + file);
  programs.insert(std::string("a") + s + file);
  EXPECT_EQ(FindProgram("qemu-system-x86_64", ""), std::string("a") + s + file);
  programs.insert(std::string("beside") + s + file);
  EXPECT_EQ(FindProgram("qemu-system-x86_64", std::string("beside") + s),
            std::string("beside") + s + file);
  environment.clear();
  EXPECT_EQ(FindProgram("qemu-system-x86_64", std::string("elsewhere") + s), "");
}

TEST_F(PlayerHostStandIn, ChoosesSoundOnlyWhereAServerIsThere) {
  if (kSearchPathSeparator == ';') {
    EXPECT_EQ(DefaultAudioDriver(), "dsound");
    EXPECT_TRUE(GraphicalDisplayPresent());
    return;
  }
  EXPECT_EQ(DefaultAudioDriver(), "");
  environment["XDG_RUNTIME_DIR"] = "/run/user/1";
  EXPECT_EQ(DefaultAudioDriver(), "");
  existing.insert("/run/user/1/pulse/native");
  EXPECT_EQ(DefaultAudioDriver(), "pa");
  existing.clear();
  environment["PULSE_SERVER"] = "tcp:host";
  EXPECT_EQ(DefaultAudioDriver(), "pa");

  EXPECT_FALSE(GraphicalDisplayPresent());
  environment["DISPLAY"] = "";
  EXPECT_FALSE(GraphicalDisplayPresent());
  environment["WAYLAND_DISPLAY"] = "wayland-0";
  EXPECT_TRUE(GraphicalDisplayPresent());
  // Named but not there: GTK cannot open it.
  displayOpens = false;
  EXPECT_FALSE(GraphicalDisplayPresent());
}

TEST_F(PlayerHostStandIn, LooksForQemuWhereItsWindowsInstallerPutsIt) {
  if (kSearchPathSeparator != ';') return;
  environment["PATH"] = "C:\\bin";
  environment["ProgramFiles"] = "C:\\Program Files";
  programs.insert("C:\\Program Files\\qemu\\qemu-system-x86_64.exe");
  EXPECT_EQ(FindProgram("qemu-system-x86_64", ""),
            "C:\\Program Files\\qemu\\qemu-system-x86_64.exe");
  // The search path comes first.
  programs.insert("C:\\bin\\qemu-system-x86_64.exe");
  EXPECT_EQ(FindProgram("qemu-system-x86_64", ""), "C:\\bin\\qemu-system-x86_64.exe");
}

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

TEST(MakePrivateCopy, CopiesOnceAndNeverWritesThroughWhatIsThere) {
  TestDirectory directory;
  const std::string source = directory.Name("vars.fd");
  WriteBytes(directory.path() / "vars.fd", std::string("\x01\x00template", 10));
  const std::string copy = directory.Name("m-efivars.fd");
  EXPECT_EQ(MakePrivateCopy(source, copy), PrivateCopyResult::kMade);
  EXPECT_EQ(ReadBytes(copy), std::string("\x01\x00template", 10));
  // The machine's own variables stay as the guest left them.
  WriteBytes(directory.path() / "m-efivars.fd", "changed by the guest");
  EXPECT_EQ(MakePrivateCopy(source, copy), PrivateCopyResult::kKept);
  EXPECT_EQ(ReadBytes(copy), "changed by the guest");

  std::filesystem::create_directory(directory.path() / "dir.fd");
  EXPECT_EQ(MakePrivateCopy(source, directory.Name("dir.fd")), PrivateCopyResult::kNotAFile);
  EXPECT_EQ(MakePrivateCopy(directory.Name("missing"), directory.Name("new.fd")),
            PrivateCopyResult::kFailed);
  EXPECT_FALSE(std::filesystem::exists(directory.path() / "new.fd"));
  if (kSearchPathSeparator == ';') return;
  // A link planted beside the configuration is not written through.
  WriteBytes(directory.path() / "victim", "keep");
  std::filesystem::create_symlink(directory.path() / "victim", directory.path() / "link.fd");
  EXPECT_EQ(MakePrivateCopy(source, directory.Name("link.fd")), PrivateCopyResult::kNotAFile);
  std::filesystem::create_symlink(directory.path() / "nowhere", directory.path() / "dangling.fd");
  EXPECT_EQ(MakePrivateCopy(source, directory.Name("dangling.fd")), PrivateCopyResult::kNotAFile);
  EXPECT_FALSE(std::filesystem::exists(directory.path() / "nowhere"));
  EXPECT_EQ(ReadBytes(directory.path() / "victim"), "keep");
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

}  // namespace
