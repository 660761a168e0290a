#include "player/vmx_config.h"

#include <gtest/gtest.h>

#include <string>

#include "core/default_template.h"
#include "platform/file_channels.h"
#include "platform/system.h"
#include "player/vmx_settings.h"
#include "test_directory.h"

namespace {

std::string ValueOf(const VmxConfig& config, const std::string& key) {
  const std::string* value = config.Find(key);
  return value == nullptr ? "<unset>" : *value;
}

TEST(VmxConfig, ReadsSettingsAndSkipsCommentsAndBlanks) {
  const VmxConfig config = ParseVmxText(
      "#!/usr/bin/vmplayer\r\n# memsize = \"1\"\r\n\r\n   \r\nmemsize = \"768\"\r\n"
      "\tdisplayName=\"CD Boot\"  \r\n#serial0.present = \"TRUE\"\r\n");
  EXPECT_EQ(config.settings.size(), 2u);
  EXPECT_EQ(ValueOf(config, "memsize"), "768");
  EXPECT_EQ(ValueOf(config, "displayName"), "CD Boot");
  EXPECT_EQ(ValueOf(config, "serial0.present"), "<unset>");
}

TEST(VmxConfig, KeysIgnoreCaseAndTheLaterSettingWins) {
  const VmxConfig config =
      ParseVmxText("MemSize = \"512\"\nmemsize = \"768\"\nIDE1:0.FileName = \"a\"\n");
  EXPECT_EQ(ValueOf(config, "MEMSIZE"), "768");
  EXPECT_EQ(ValueOf(config, "ide1:0.filename"), "a");
  EXPECT_EQ(config.settings.size(), 2u);
}

TEST(VmxConfig, TakesTheValueBetweenItsQuotesOnly) {
  const VmxConfig config = ParseVmxText(
      "a = \"x = y\" # trailing\nb = \"\"\nc = unquoted value \nd = \"=\"\ne = \"C:\\\\iso\\\\a "
      "b.iso\"\n");
  EXPECT_EQ(ValueOf(config, "a"), "x = y");
  EXPECT_EQ(ValueOf(config, "b"), "");
  EXPECT_EQ(ValueOf(config, "c"), "unquoted value");
  EXPECT_EQ(ValueOf(config, "d"), "=");
  EXPECT_EQ(ValueOf(config, "e"), "C:\\\\iso\\\\a b.iso");
}

TEST(VmxConfig, IgnoresLinesThatAreNoSetting) {
  VmxConfig config;
  EXPECT_FALSE(ParseVmxLine("no equals sign", config));
  EXPECT_FALSE(ParseVmxLine(" = \"no key\"", config));
  EXPECT_FALSE(ParseVmxLine("open = \"never closed", config));
  EXPECT_FALSE(ParseVmxLine("   # comment = \"x\"", config));
  EXPECT_TRUE(config.settings.empty());
  EXPECT_TRUE(ParseVmxLine("key = \"v\"", config));
  // A broken later line leaves the earlier value alone.
  EXPECT_FALSE(ParseVmxLine("key = \"broken", config));
  EXPECT_EQ(ValueOf(config, "key"), "v");
}

TEST(VmxConfig, ReadsAFileUpToItsLimitAndRefusesALargerOneUnread) {
  TestDirectory directory;
  const std::string head = "memsize = \"64\"\r\nhuge = \"";
  const std::string tail = "\"\r\nnumvcpus = \"2\"";
  const std::string huge(kMaximumVmxBytes - head.size() - tail.size(), 'x');
  WriteBytes(directory.path() / "a.vmx", head + huge + tail);
  InitChannelTable();
  VmxConfig config;
  ASSERT_EQ(ReadVmxFile(directory.Name("a.vmx"), config), VmxReadResult::kRead);
  EXPECT_EQ(ValueOf(config, "memsize"), "64");
  EXPECT_EQ(ValueOf(config, "huge").size(), huge.size());
  EXPECT_EQ(ValueOf(config, "numvcpus"), "2");

  WriteBytes(directory.path() / "b.vmx", head + huge + "y" + tail);
  VmxConfig untouched;
  EXPECT_EQ(ReadVmxFile(directory.Name("b.vmx"), untouched), VmxReadResult::kTooLarge);
  EXPECT_TRUE(untouched.settings.empty());
}

TEST(VmxConfig, KeepsANulByteInItsValueWhereTheSettingsRefuseIt) {
  TestDirectory directory;
  WriteBytes(directory.path() / "a.vmx",
             std::string("serial0.fileName = \"/home/u/vm/log\0/../../.profile\"\n"
                         "memsize = \"64\"\n",
                         67));
  InitChannelTable();
  VmxConfig config;
  ASSERT_EQ(ReadVmxFile(directory.Name("a.vmx"), config), VmxReadResult::kRead);
  EXPECT_EQ(ValueOf(config, "memsize"), "64");
  VmxSettings settings(config);
  EXPECT_EQ(settings.Text("serial0.fileName"), "");
  EXPECT_NE(settings.error().find("'serial0.fileName'"), std::string::npos) << settings.error();
}

TEST(VmxConfig, ReportsAFileThatCannotBeOpened) {
  TestDirectory directory;
  InitChannelTable();
  VmxConfig config;
  EXPECT_EQ(ReadVmxFile(directory.Name("missing.vmx"), config), VmxReadResult::kCannotOpen);
  // A directory may open on some systems but never reads as a file.
  EXPECT_NE(ReadVmxFile(directory.path().string(), config), VmxReadResult::kRead);
}

constexpr bool kWindowsText = system_facts::kPathSeparator == '\\';

TEST(VmxEncoding, ValuesOfAWindows1252FileReachTheSystemAsItSpellsThem) {
  VmxConfig config = ParseVmxText(
      ".encoding = \"windows-1252\"\nide1:0.fileName = \"Pr\xFC"
      "fung \xE4.iso\"\n"
      "displayName = \"M\xFCller\"\nmemsize = \"768\"\n");
  ASSERT_EQ(ConvertVmxToSystemEncoding(config), "");
  EXPECT_EQ(ValueOf(config, "ide1:0.fileName"), kWindowsText ? "Pr\xFC"
                                                               "fung \xE4.iso"
                                                             : "Pr\xC3\xBC"
                                                               "fung \xC3\xA4.iso");
  EXPECT_EQ(ValueOf(config, "displayName"), kWindowsText ? "M\xFCller" : "M\xC3\xBCller");
  EXPECT_EQ(ValueOf(config, "memsize"), "768");
  EXPECT_EQ(config.settings.size(), 4u);
}

TEST(VmxEncoding, WithoutEncodingTheBytesStayAsRead) {
  VmxConfig config = ParseVmxText(
      "ide1:0.fileName = \"Pr\xFC"
      "fung.iso\"\n");
  ASSERT_EQ(ConvertVmxToSystemEncoding(config), "");
  EXPECT_EQ(ValueOf(config, "ide1:0.fileName"),
            "Pr\xFC"
            "fung.iso");
}

TEST(VmxEncoding, TheLaunchersOwnConfigurationNamesNoEncoding) {
  // Its ISO path is written as the system holds it and must stay so.
  EXPECT_EQ(ParseVmxText(DefaultTemplateText()).Find(".encoding"), nullptr);
}

TEST(VmxEncoding, InvalidBytesNameTheKeyAndChangeNothing) {
  VmxConfig config = ParseVmxText(
      ".encoding = \"UTF-8\"\ndisplayName = \"M\xC3\xBCller\"\n"
      "ide1:0.fileName = \"Pr\xFC"
      "fung.iso\"\n");
  const VmxConfig before = config;
  const std::string message = ConvertVmxToSystemEncoding(config);
  EXPECT_NE(message.find("'ide1:0.filename'"), std::string::npos) << message;
  EXPECT_NE(message.find("UTF-8"), std::string::npos) << message;
  EXPECT_EQ(config.settings, before.settings);
}

TEST(VmxEncoding, AnUnknownEncodingIsNamed) {
  VmxConfig config = ParseVmxText(".encoding = \"x-klingon\"\nmemsize = \"768\"\n");
  const std::string message = ConvertVmxToSystemEncoding(config);
  EXPECT_NE(message.find("\"x-klingon\""), std::string::npos) << message;
  EXPECT_NE(message.find(".encoding"), std::string::npos) << message;
}

}  // namespace
