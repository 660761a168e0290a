#include "platform/player_host.h"

#include <gtest/gtest.h>

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

TEST(RunProgramToEnd, HandsOverEveryArgumentExactlyAndGivesTheExitCode) {
  TestDirectory directory;
  const std::string record = directory.Name("record.txt");
  const std::vector<std::string> tricky = {"guest=a b", "a\"b", "C:\\dir\\",   "x\\\"y",
                                           "-display",  "\\\\", "comma,,value"};
  std::vector<std::string> arguments = {"--record", record, "--exit", "7"};
  arguments.insert(arguments.end(), tricky.begin(), tricky.end());
  ProgramEnd end;
  ASSERT_TRUE(RunProgramToEnd(LAUNCH_PROBE_PATH, arguments, &end));
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

  EXPECT_FALSE(RunProgramToEnd(directory.Name("no such program"), {}, &end));
}

}  // namespace
