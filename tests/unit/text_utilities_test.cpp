#include "platform/text_utilities.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

TEST(FormatInteger, WritesDigitsWithoutPaddingOrGrouping) {
  EXPECT_EQ(FormatInteger(0), "0");
  EXPECT_EQ(FormatInteger(-1), "-1");
  EXPECT_EQ(FormatInteger(7), "7");
  EXPECT_EQ(FormatInteger(1000), "1000");
  EXPECT_EQ(FormatInteger(std::numeric_limits<std::int32_t>::max()), "2147483647");
  EXPECT_EQ(FormatInteger(std::numeric_limits<std::int32_t>::min()), "-2147483648");
}

TEST(DateValueFromParts, CountsWallClockSecondsFromTheEpoch) {
  EXPECT_EQ(DateValueFromParts(1970, 1, 1, 0, 0, 0), 0);
  EXPECT_EQ(DateValueFromParts(1970, 1, 1, 23, 59, 59), 86399);
  EXPECT_EQ(DateValueFromParts(1970, 1, 2, 0, 0, 0), 86400);
  // A summer date carries no daylight-saving hour.
  EXPECT_EQ(DateValueFromParts(2008, 7, 1, 12, 0, 0), 1214913600);
  EXPECT_EQ(DateValueFromParts(2000, 2, 29, 0, 0, 0), 951782400);
  EXPECT_EQ(DateValueFromParts(2038, 1, 19, 3, 14, 7), 2147483647);
  EXPECT_EQ(DateValueFromParts(1969, 12, 31, 23, 59, 58), -2);
  EXPECT_EQ(DateValueFromParts(1901, 12, 13, 20, 45, 52), std::numeric_limits<std::int32_t>::min());
}

TEST(DateValueFromParts, RejectsInvalidAndUnrepresentableDates) {
  EXPECT_EQ(DateValueFromParts(1900, 2, 29, 0, 0, 0), -1);
  EXPECT_EQ(DateValueFromParts(2007, 2, 29, 0, 0, 0), -1);
  EXPECT_EQ(DateValueFromParts(2008, 2, 30, 0, 0, 0), -1);
  EXPECT_EQ(DateValueFromParts(2008, 4, 31, 0, 0, 0), -1);
  EXPECT_EQ(DateValueFromParts(2008, 11, 31, 0, 0, 0), -1);
  EXPECT_EQ(DateValueFromParts(2008, 13, 1, 0, 0, 0), -1);
  EXPECT_EQ(DateValueFromParts(2008, 0, 1, 0, 0, 0), -1);
  EXPECT_EQ(DateValueFromParts(2008, 1, 0, 0, 0, 0), -1);
  EXPECT_EQ(DateValueFromParts(2008, 1, 32, 0, 0, 0), -1);
  EXPECT_EQ(DateValueFromParts(2008, 1, 1, 24, 0, 0), -1);
  EXPECT_EQ(DateValueFromParts(2008, 1, 1, 0, 60, 0), -1);
  EXPECT_EQ(DateValueFromParts(2008, 1, 1, 0, 0, 60), -1);
  EXPECT_EQ(DateValueFromParts(2008, 1, 1, 0, 0, -1), -1);
  EXPECT_EQ(DateValueFromParts(0, 1, 1, 0, 0, 0), -1);
  EXPECT_EQ(DateValueFromParts(2038, 1, 19, 3, 14, 8), -1);
  EXPECT_EQ(DateValueFromParts(1901, 12, 13, 20, 45, 51), -1);
  EXPECT_EQ(DateValueFromParts(2000, 2, 29, 0, 0, 0) == -1, false);  // 2000 is a leap year
}

TEST(CurrentDateValue, IsAPresentDateStampOfTenDigits) {
  const DateValue now = CurrentDateValue();
  EXPECT_GT(now, DateValueFromParts(2020, 1, 1, 0, 0, 0));
  EXPECT_EQ(FormatInteger(now).size(), 10u);
}

TEST(ReplaceAll, ReplacesLeftToRightWithoutRescanningInsertions) {
  std::string text = "aXbxd";
  EXPECT_EQ(ReplaceAll(text, "x", "--", CaseInsensitive), "a--b--d");
  EXPECT_EQ(ReplaceAll(text, "x", "--"), "aXb--d");
  std::string aaa = "aaa";
  EXPECT_EQ(ReplaceAll(aaa, "aa", "b"), "ba");
  std::string abc = "abc";
  EXPECT_EQ(ReplaceAll(abc, "b", "bb"), "abbc");
  std::string nested = "x***isofile.iso***y";
  EXPECT_EQ(ReplaceAll(nested, "***isofile.iso***", "***isofile.iso***!"), "x***isofile.iso***!y");
  EXPECT_EQ(text, "aXbxd");  // the argument stays as it was
}

TEST(ReplaceAll, DegenerateArgumentsLeaveTheTextOrDropOccurrences) {
  std::string text = "abcabc";
  EXPECT_EQ(ReplaceAll(text, "", "z"), "abcabc");
  EXPECT_EQ(ReplaceAll(text, "b", ""), "acac");
  EXPECT_EQ(ReplaceAll(text, "abcabcabc", "z"), "abcabc");
  std::string empty;
  EXPECT_EQ(ReplaceAll(empty, "a", "b"), "");
}

TEST(ReplaceAll, FoldsOnlyAsciiLetters) {
  std::string text = "\xC4pfel \xE4pfel ABC";  // Windows-1252 A and a with diaeresis
  EXPECT_EQ(ReplaceAll(text, "\xE4", "ae", CaseInsensitive), "\xC4pfel aepfel ABC");
  EXPECT_EQ(ReplaceAll(text, "abc", "x", CaseInsensitive), "\xC4pfel \xE4pfel x");
}

TEST(ReplaceAll, RewritesInPlaceOnlyWhenLengthsAgree) {
  std::string text = "aXbxd";
  EXPECT_EQ(ReplaceAll(text, "x", "-", CaseInsensitive | RewriteInPlace), "");
  EXPECT_EQ(text, "a-b-d");
  std::string exact = "aXbxd";
  ReplaceAll(exact, "x", "-", RewriteInPlace);
  EXPECT_EQ(exact, "aXb-d");
  // A longer replacement cannot be written over the text; it stays whole.
  std::string longer = "abc";
  EXPECT_EQ(ReplaceAll(longer, "b", "bbbb", RewriteInPlace), "");
  EXPECT_EQ(longer, "abc");
  std::string shorter = "abc";
  ReplaceAll(shorter, "bc", "x", RewriteInPlace);
  EXPECT_EQ(shorter, "abc");
}

TEST(TextEquals, ComparesEveryByteAndCapitals) {
  EXPECT_TRUE(TextEquals("--help", "--help"));
  EXPECT_FALSE(TextEquals("-h", "-H"));
  EXPECT_TRUE(TextEquals("", ""));
  EXPECT_FALSE(TextEquals("a", "a "));
  EXPECT_FALSE(TextEquals("a", ""));
}

}  // namespace
