#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Every parameter of a command line, handed out one after another.
std::vector<std::string> Parameters(std::string_view line) {
  std::vector<std::string> parameters;
  std::int32_t cursor = 0;
  while (auto stretch = FindParameter(line, cursor)) {
    parameters.emplace_back(line.substr(stretch->start, stretch->length));
  }
  return parameters;
}

using Texts = std::vector<std::string>;

TEST(CommandLineTokenizer, SkipsTheProgramNameHoweverItIsWritten) {
  EXPECT_EQ(Parameters("trennwick.exe"), Texts{});
  EXPECT_EQ(Parameters("\"C:\\Program Files\\trennwick.exe\" --help"), Texts{"--help"});
  EXPECT_EQ(Parameters("\"C:\\Program Files\\trennwick.exe\"--help"), Texts{"--help"});
}

TEST(CommandLineTokenizer, SeparatesOnlyAtBlanks) {
  EXPECT_EQ(Parameters("prog   -h    x  "), (Texts{"-h", "x"}));
  EXPECT_EQ(Parameters("prog a\tb"), Texts{"a\tb"});
}

TEST(CommandLineTokenizer, QuotesEncloseAStretchOnlyAtItsStart) {
  EXPECT_EQ(Parameters("prog \"\" x"), (Texts{"", "x"}));
  EXPECT_EQ(Parameters("prog \"a b\"x"), (Texts{"a b", "x"}));
  EXPECT_EQ(Parameters("prog ab\"x y\""), (Texts{"ab\"x", "y\""}));
  EXPECT_EQ(Parameters("prog \"abc"), Texts{"abc"});
  EXPECT_EQ(Parameters("prog \xE4\xF6\xFC"), Texts{"\xE4\xF6\xFC"});
}

TEST(CommandLineTokenizer, AnEmptyOrBlankLineHasNoStretchAtAll) {
  EXPECT_EQ(Parameters(""), Texts{});
  EXPECT_EQ(Parameters("   "), Texts{});
}

TEST(CommandLineTokenizer, AMissingParameterLeavesTheCursorWhereItWas) {
  std::int32_t cursor = 5;
  EXPECT_FALSE(FindParameter("prog a b", cursor));
  EXPECT_EQ(cursor, 5);
  cursor = 1;
  auto stretch = FindParameter("prog a b", cursor);
  ASSERT_TRUE(stretch);
  EXPECT_EQ(stretch->start, 7u);
  EXPECT_EQ(cursor, 2);
}

TEST(ProgramParameters, FollowTheProcessCommandLine) {
  // The test program runs with the options of its runner, so only what holds
  // for every command line is checked: the cursor walks and resets.
  const std::int32_t count = ParameterCount();
  ASSERT_GE(count, 0);
  EXPECT_EQ(ParameterAt(count), "");
  EXPECT_EQ(NextProgramParameter(), "");
  const std::vector<std::string> parameters = ProgramParameters();
  EXPECT_EQ(count, static_cast<std::int32_t>(parameters.size()));
  EXPECT_EQ(ParameterAt(0), parameters.empty() ? "" : parameters[0]);
}

TEST(ProgramParameters, ACommandLineGivesItsStretchesInOrder) {
  EXPECT_EQ(ParametersOfCommandLine("prog \"a b\"x \"\" -h"), (Texts{"a b", "x", "", "-h"}));
  EXPECT_EQ(ParametersOfCommandLine("prog"), Texts{});
}

TEST(ProgramFilePath, NamesThisProgram) {
  const std::string path = ProgramFilePath();
  ASSERT_FALSE(path.empty());
  EXPECT_NE(path.find("unit_tests"), std::string::npos);
  EXPECT_FALSE(DirectoryPart(path).empty());
}

TEST(DirectoryPart, KeepsEverythingUpToTheLastSeparator) {
  EXPECT_EQ(DirectoryPart("C:\\dir\\sub\\file.txt"), "C:\\dir\\sub\\");
  EXPECT_EQ(DirectoryPart("C:\\dir\\"), "C:\\dir\\");
  EXPECT_EQ(DirectoryPart("C:/a/b"), "C:/a/");
  EXPECT_EQ(DirectoryPart("C:\\a/b\\c.txt"), "C:\\a/b\\");
  EXPECT_EQ(DirectoryPart("/usr/local/bin/trennwick"), "/usr/local/bin/");
  EXPECT_EQ(DirectoryPart("\"C:\\Program Files\\t.exe\""), "C:\\Program Files\\");
  EXPECT_EQ(DirectoryPart("C:\\a|b\\c"), "C:\\");
}

TEST(IsSameDirectory, IgnoresOnlyTrailingSeparators) {
  EXPECT_TRUE(IsSameDirectory("/usr/local/bin/", "/usr/local/bin"));
  EXPECT_TRUE(IsSameDirectory("/usr/bin//", "/usr/bin"));
  EXPECT_TRUE(IsSameDirectory("/", "/"));
  EXPECT_FALSE(IsSameDirectory("/usr/local/bin/", "/usr/bin"));
  EXPECT_FALSE(IsSameDirectory("/usr/local/bin2/", "/usr/local/bin"));
  EXPECT_FALSE(IsSameDirectory("/opt/usr/local/bin/", "/usr/local/bin"));
  EXPECT_FALSE(IsSameDirectory("", ""));
  EXPECT_FALSE(IsSameDirectory("/usr/bin/", ""));
}

TEST(PlacesOfProgram, AProgramOutsideTheInstalledDirectoryKeepsEverythingBesideItself) {
  // The tests run from the build tree, which is never the installed place.
  const std::string directory = DirectoryPart(ProgramFilePath());
  const ProgramPlaces places = PlacesOfProgram(directory);
  EXPECT_EQ(places.templateDirectory, directory);
  EXPECT_EQ(places.startDirectory, directory);
}

TEST(DirectoryPart, IsEmptyWithoutASeparator) {
  EXPECT_EQ(DirectoryPart("file.txt"), "");
  EXPECT_EQ(DirectoryPart("C:file.txt"), "");
  EXPECT_EQ(DirectoryPart(""), "");
  EXPECT_EQ(DirectoryPart("\""), "");
}

}  // namespace
