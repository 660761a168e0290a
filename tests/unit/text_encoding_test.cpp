#include "player/host/text_encoding.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/system.h"

namespace {

constexpr bool kWindows = system_facts::kPathSeparator == '\\';

// The converted text, or the result's name when the conversion failed.
std::string Converted(const std::string& text, const std::string& encoding) {
  std::string converted = "<untouched>";
  switch (ConvertToSystemText(text, encoding, &converted)) {
    case EncodingResult::kConverted:
      return converted;
    case EncodingResult::kUnknownEncoding:
      return "<unknown encoding>";
    case EncodingResult::kInvalidBytes:
      return "<invalid bytes>";
    case EncodingResult::kNotRepresentable:
      return "<not representable>";
  }
  return "<no result>";
}

TEST(TextEncoding, KnowsTheCodePagesOfTheNamesVmwareWrites) {
  EXPECT_EQ(WindowsCodePage("windows-1252"), 1252u);
  EXPECT_EQ(WindowsCodePage("Windows-1250"), 1250u);
  EXPECT_EQ(WindowsCodePage("UTF-8"), 65001u);
  EXPECT_EQ(WindowsCodePage("Shift_JIS"), 932u);
  EXPECT_EQ(WindowsCodePage("GBK"), 936u);
  EXPECT_EQ(WindowsCodePage("Big5"), 950u);
  EXPECT_EQ(WindowsCodePage("EUC-KR"), 949u);
  EXPECT_EQ(WindowsCodePage("KOI8-R"), 20866u);
  EXPECT_EQ(WindowsCodePage("ISO-8859-1"), 28591u);
  EXPECT_EQ(WindowsCodePage("iso-8859-15"), 28605u);
  EXPECT_EQ(WindowsCodePage("us-ascii"), 20127u);
  // Numbered names that the table does not list.
  EXPECT_EQ(WindowsCodePage("cp850"), 850u);
  EXPECT_EQ(WindowsCodePage("IBM866"), 866u);
  EXPECT_EQ(WindowsCodePage("windows-874"), 874u);
}

TEST(TextEncoding, GivesNoCodePageForAnUnknownOrMalformedName) {
  EXPECT_EQ(WindowsCodePage(""), 0u);
  EXPECT_EQ(WindowsCodePage("klingon"), 0u);
  EXPECT_EQ(WindowsCodePage("cp"), 0u);
  EXPECT_EQ(WindowsCodePage("cp12a"), 0u);
  EXPECT_EQ(WindowsCodePage("cp-1252"), 0u);
  EXPECT_EQ(WindowsCodePage("windows-1252x"), 0u);
  // More digits than any code page has could only overflow.
  EXPECT_EQ(WindowsCodePage("cp9999999999"), 0u);
}

TEST(TextEncoding, NamesForIconvMeanTheWindowsVariantsAndTakeNoOptions) {
  EXPECT_EQ(IconvEncodingName("Shift_JIS"), "CP932");
  EXPECT_EQ(IconvEncodingName("gbk"), "CP936");
  EXPECT_EQ(IconvEncodingName("big5"), "CP950");
  EXPECT_EQ(IconvEncodingName("windows-1252"), "windows-1252");
  EXPECT_EQ(IconvEncodingName("ISO-8859-2"), "ISO-8859-2");
  // "//" would ask iconv to drop or replace what it cannot convert.
  EXPECT_EQ(IconvEncodingName("UTF-8//IGNORE"), "");
  EXPECT_EQ(IconvEncodingName("UTF-8 "), "");
  EXPECT_EQ(IconvEncodingName(""), "");
}

TEST(TextEncoding, ConvertsWindows1252IntoTheSystemsText) {
  EXPECT_EQ(Converted("Pr\xFC"
                      "fung \xE4.iso",
                      "windows-1252"),
            kWindows ? "Pr\xFC"
                       "fung \xE4.iso"
                     : "Pr\xC3\xBC"
                       "fung \xC3\xA4.iso");
  EXPECT_EQ(Converted("\x80", "Windows-1252"), kWindows ? "\x80" : "\xE2\x82\xAC");
  EXPECT_EQ(Converted("plain C:\\iso\\a.iso", "windows-1252"), "plain C:\\iso\\a.iso");
  EXPECT_EQ(Converted("", "windows-1252"), "");
}

TEST(TextEncoding, ConvertsUtf8IntoTheSystemsText) {
  EXPECT_EQ(Converted("Pr\xC3\xBC"
                      "fung.iso",
                      "UTF-8"),
            kWindows ? "Pr\xFC"
                       "fung.iso"
                     : "Pr\xC3\xBC"
                       "fung.iso");
  EXPECT_EQ(Converted("Pr\xC3\xBC"
                      "fung.iso",
                      "utf8"),
            kWindows ? "Pr\xFC"
                       "fung.iso"
                     : "Pr\xC3\xBC"
                       "fung.iso");
}

TEST(TextEncoding, RefusesBytesThatTheEncodingDoesNotDefine) {
  // A Windows-1252 umlaut in a file that claims UTF-8.
  EXPECT_EQ(Converted("Pr\xFC"
                      "fung.iso",
                      "UTF-8"),
            "<invalid bytes>");
  // A character cut off at the end, and an overlong encoding of "/".
  EXPECT_EQ(Converted("a\xC3", "UTF-8"), "<invalid bytes>");
  EXPECT_EQ(Converted("\xC0\xAF", "UTF-8"), "<invalid bytes>");
  // A lead byte of Shift_JIS without its second byte.
  EXPECT_EQ(Converted("\x83", "Shift_JIS"), "<invalid bytes>");
}

TEST(TextEncoding, RefusesUtf8AboveTheLastCharacterOfUnicode) {
  // U+10FFFF is the last character; F4 90 and the lead bytes F5 to F7
  // would begin sequences above it.
  EXPECT_EQ(Converted("a\xF4\x8F\xBF\xBF", "UTF-8"),
            kWindows ? "<not representable>" : "a\xF4\x8F\xBF\xBF");
  EXPECT_EQ(Converted("a\xF4\x90\x80\x80", "UTF-8"), "<invalid bytes>");
  EXPECT_EQ(Converted("\xF4\xBF\xBF\xBF.iso", "UTF-8"), "<invalid bytes>");
  EXPECT_EQ(Converted("\xF5\x80\x80\x80", "UTF-8"), "<invalid bytes>");
  EXPECT_EQ(Converted("\xF7\xBF\xBF\xBF", "UTF-8"), "<invalid bytes>");
}

TEST(TextEncoding, ConvertsTextThatGrowsBeyondFourBytesPerByte) {
  // TSCII writes the Tamil "sri" (four characters, twelve bytes of UTF-8)
  // for the one byte 0x82. Windows has no code page for TSCII.
  const std::string sri = "\xE0\xAE\xB8\xE0\xAF\x8D\xE0\xAE\xB0\xE0\xAF\x80";
  EXPECT_EQ(Converted("\x82\x82\x82", "TSCII"), kWindows ? "<unknown encoding>" : sri + sri + sri);
  EXPECT_EQ(Converted(std::string(1000, '\x82'), "TSCII").size(),
            kWindows ? std::string("<unknown encoding>").size() : 1000 * sri.size());
}

TEST(TextEncoding, KnowsValidUtf8FromLookAlikes) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8(std::string("a\0b", 3)));
  EXPECT_TRUE(IsValidUtf8("\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80"));
  EXPECT_TRUE(IsValidUtf8("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"));
  // Longer forms of shorter sequences.
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));
  EXPECT_FALSE(IsValidUtf8("\xC1\xBF"));
  EXPECT_FALSE(IsValidUtf8("\xE0\x9F\xBF"));
  EXPECT_FALSE(IsValidUtf8("\xF0\x8F\xBF\xBF"));
  // Surrogates, beyond U+10FFFF, and the lead bytes no sequence has.
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));
  EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));
  EXPECT_FALSE(IsValidUtf8("\xF8\x88\x80\x80\x80"));
  EXPECT_FALSE(IsValidUtf8("\xFF"));
  // Cut off, or a continuation byte alone or in the wrong place.
  EXPECT_FALSE(IsValidUtf8("\xE2\x82"));
  EXPECT_FALSE(IsValidUtf8("\x80"));
  EXPECT_FALSE(IsValidUtf8("\xE2\x28\xA1"));
}

TEST(TextEncoding, ReadsEastAsianAndCyrillicCodePages) {
  // In code page 932 0x5C is the backslash of a Windows path; "\x83\x65"
  // is the katakana TE.
  EXPECT_EQ(Converted("C:\\iso\\a.iso", "Shift_JIS"), "C:\\iso\\a.iso");
  EXPECT_EQ(Converted("\x83\x65.iso", "Shift_JIS"),
            kWindows ? "<not representable>" : "\xE3\x83\x86.iso");
  EXPECT_EQ(Converted("\xC1", "KOI8-R"), kWindows ? "<not representable>" : "\xD0\xB0");
  EXPECT_EQ(Converted("\xB0\xA1", "GBK"), kWindows ? "<not representable>" : "\xE5\x95\x8A");
}

TEST(TextEncoding, RefusesAnUnknownEncodingAndLeavesTheResultAlone) {
  EXPECT_EQ(Converted("a", "klingon-1"), "<unknown encoding>");
  EXPECT_EQ(Converted("a", "UTF-8//TRANSLIT"), "<unknown encoding>");
  EXPECT_EQ(Converted("a", ""), "<unknown encoding>");
  std::string untouched = "kept";
  EXPECT_EQ(ConvertToSystemText("\xFF", "UTF-8", &untouched), EncodingResult::kInvalidBytes);
  EXPECT_EQ(untouched, "kept");
}

}  // namespace
