#include "player/host/win32/windows_command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
