#include "core/default_template.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/system.h"

namespace {

// Windows keeps the lone CR of the defined format; Linux writes LF, which
// cat and editors show as lines.
const char kLineEnd = system_facts::kPathSeparator == '\\' ? '\r' : '\n';
const char kOtherLineEnd = kLineEnd == '\r' ? '\n' : '\r';

std::vector<std::string> SplitAtLineEnds(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == kLineEnd) {
      lines.push_back(line);
      line.clear();
    } else {
      line.push_back(c);
    }
  }
  EXPECT_TRUE(line.empty()) << "bytes after the last line end";
  return lines;
}

TEST(DefaultTemplateText, Is111LinesEachEndingWithThisSystemsLineEnd) {
  const std::string text = DefaultTemplateText();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), kLineEnd);
  EXPECT_EQ(text.find(kOtherLineEnd), std::string::npos);
  EXPECT_EQ(text.find('\0'), std::string::npos);
  for (unsigned char c : text) EXPECT_LT(c, 0x80);
  EXPECT_EQ(SplitAtLineEnds(text).size(), 111u);
}

TEST(DefaultTemplateText, HoldsTheFixedLinesWhereTheyBelong) {
  const std::vector<std::string> lines = SplitAtLineEnds(DefaultTemplateText());
  ASSERT_EQ(lines.size(), 111u);
  EXPECT_EQ(lines[0], "#!/usr/bin/vmplayer");
  EXPECT_EQ(lines[3], "config.version = \"8\"");
  EXPECT_EQ(lines[13], "guestinfo.vmware.product.url = \"" TRENNWICK_WEB_ADDRESS "\"");
  EXPECT_EQ(lines[21], "memsize = \"768\"");
  EXPECT_EQ(lines[29], "");
  EXPECT_EQ(lines[30], "");
  EXPECT_EQ(lines[31], "");
  EXPECT_EQ(lines[72], "# Logging");
  EXPECT_EQ(lines[73], "");
  EXPECT_EQ(lines[96], "ethernet0.connectionType = \"hostonly\"");
  EXPECT_EQ(lines[107], "ide1:0.fileName = \"***isofile.iso***\"");
  EXPECT_EQ(lines[110], "ide1:0.startConnected = \"TRUE\"");
}

TEST(DefaultTemplateText, NamesThePlaceholderOnlyOnce) {
  const std::string text = DefaultTemplateText();
  const auto first = text.find("***isofile.iso***");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(text.find("***isofile.iso***", first + 1), std::string::npos);
}

}  // namespace
