#include "core/config_generation.h"

#include <gtest/gtest.h>

#include <string>

#include "core/default_template.h"
#include "platform/text_utilities.h"
#include "test_directory.h"

namespace {

class ConfigGeneration : public ::testing::Test {
 protected:
  void SetUp() override { InitChannelTable(); }

  // The configuration for a template file holding `bytes`.
  std::string ConfigFor(const std::string& bytes, const std::string& image = "C:\\isos\\a.iso") {
    WriteBytes(directory.path() / "template.txt", bytes);
    const auto config = GenerateConfig(directory.Name("template.txt"), image);
    EXPECT_TRUE(config.has_value());
    return config.value_or("<failed>");
  }

  TestDirectory directory;
};

TEST_F(ConfigGeneration, GivesEveryLineACrLfWhateverItsLineEnd) {
  EXPECT_EQ(ConfigFor("A\r\rB\r"), "A\r\n\r\nB\r\n");
  EXPECT_EQ(ConfigFor("A\r\n\r\nB\r\n"), "A\r\n\r\nB\r\n");
  EXPECT_EQ(ConfigFor("A\n\nB\n"), "A\r\n\r\nB\r\n");
  EXPECT_EQ(ConfigFor("A\rB"), "A\r\nB\r\n");
  EXPECT_EQ(ConfigFor("A\n\rB"), "A\r\n\r\nB\r\n");  // LF CR ends two lines
  EXPECT_EQ(ConfigFor(std::string("A\0B\r", 4)), "A\r\nB\r\n");
  EXPECT_EQ(ConfigFor(""), "");
}

TEST_F(ConfigGeneration, ReplacesThePlaceholderWhereverItStands) {
  EXPECT_EQ(ConfigFor("x\rIDE1:0.FILENAME = \"***ISOFILE.ISO***\"\r"),
            "x\r\nide1:0.fileName = \"C:\\isos\\a.iso\"\r\n");
  EXPECT_EQ(ConfigFor("#ide1:0.fileName = \"***isofile.iso***\" tail\r"),
            "#ide1:0.fileName = \"C:\\isos\\a.iso\" tail\r\n");
  EXPECT_EQ(ConfigFor("ide1:0.fileName = \"***isofile.iso***\"\rb\r"
                      "ide1:0.fileName = \"***isofile.iso***\"\r"),
            "ide1:0.fileName = \"C:\\isos\\a.iso\"\r\nb\r\n"
            "ide1:0.fileName = \"C:\\isos\\a.iso\"\r\n");
  // A path that itself names the placeholder's file is inserted once.
  EXPECT_EQ(ConfigFor("ide1:0.fileName = \"***isofile.iso***\"\r",
                      "D:\\ide1:0.fileName = \"***isofile.iso***\""),
            "ide1:0.fileName = \"D:\\ide1:0.fileName = \"***isofile.iso***\"\"\r\n");
  EXPECT_EQ(ConfigFor("no placeholder\r"), "no placeholder\r\n");
}

TEST_F(ConfigGeneration, TurnsTheDefaultTemplateIntoItsLinesWithCrLf) {
  const std::string image = "C:\\Users\\J\xFCrgen\\Downloads\\debian 12.iso";
  std::string expected = DefaultTemplateText();
  std::string withCrLf;
  // The written template ends its lines with CR (Windows) or LF (Linux).
  for (char c : expected) {
    withCrLf += (c == '\r' || c == '\n') ? std::string("\r\n") : std::string(1, c);
  }
  withCrLf = ReplaceAll(withCrLf, kImagePlaceholder, "ide1:0.fileName = \"" + image + "\"");
  const std::string config = ConfigFor(DefaultTemplateText(), image);
  EXPECT_EQ(config, withCrLf);
  EXPECT_NE(config.find("\r\nide1:0.fileName = \"" + image + "\"\r\n"), std::string::npos);
}

TEST_F(ConfigGeneration, BuiltInTemplateGivesWhatTheWrittenFileGives) {
  for (const std::string image : {"C:\\isos\\a.iso",
                                  "/home/j\xC3\xBCrgen/\xDC"
                                  "bungen/debian 12.iso",
                                  ""}) {
    EXPECT_EQ(GenerateDefaultConfig(image), ConfigFor(DefaultTemplateText(), image)) << image;
  }
}

TEST_F(ConfigGeneration, KeepsALongLineWhole) {
  const std::string line(10000, 'x');
  EXPECT_EQ(ConfigFor(line + "\r" + line), line + "\r\n" + line + "\r\n");
}

TEST_F(ConfigGeneration, FailsWhenTheTemplateCannotBeOpened) {
  EXPECT_FALSE(GenerateConfig(directory.Name("missing.txt"), "a.iso"));
  std::filesystem::create_directory(directory.path() / "dir.txt");
  EXPECT_FALSE(GenerateConfig(directory.Name("dir.txt"), "a.iso"));
  // The channel stays free for the next open.
  EXPECT_EQ(ChannelAtEnd(kTemplateReadChannel), 0);
}

}  // namespace
