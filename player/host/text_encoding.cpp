#include "player/host/text_encoding.h"

#include <cstdlib>

#include "platform/ascii_case.h"

namespace {

struct NamedCodePage {
  const char* name;  // lower case
  unsigned codePage;
};

// The names VMware writes into `.encoding` and their common IANA aliases.
constexpr NamedCodePage kCodePages[] = {
    {"utf-8", 65001},       {"utf8", 65001},         {"us-ascii", 20127},    {"ascii", 20127},
    {"windows-874", 874},   {"windows-1250", 1250},  {"windows-1251", 1251}, {"windows-1252", 1252},
    {"windows-1253", 1253}, {"windows-1254", 1254},  {"windows-1255", 1255}, {"windows-1256", 1256},
    {"windows-1257", 1257}, {"windows-1258", 1258},  {"iso-8859-1", 28591},  {"iso-8859-2", 28592},
    {"iso-8859-3", 28593},  {"iso-8859-4", 28594},   {"iso-8859-5", 28595},  {"iso-8859-6", 28596},
    {"iso-8859-7", 28597},  {"iso-8859-8", 28598},   {"iso-8859-9", 28599},  {"iso-8859-13", 28603},
    {"iso-8859-15", 28605}, {"shift_jis", 932},      {"shift-jis", 932},     {"sjis", 932},
    {"windows-31j", 932},   {"euc-jp", 20932},       {"iso-2022-jp", 50220}, {"gbk", 936},
    {"gb2312", 936},        {"gb18030", 54936},      {"big5", 950},          {"big5-hkscs", 950},
    {"euc-kr", 949},        {"ks_c_5601-1987", 949}, {"koi8-r", 20866},      {"koi8-u", 21866},
    {"macintosh", 10000},   {"x-mac-roman", 10000},
};

// The number after `prefix` in "cp850", "ibm866", "windows-874": digits
// only, at most five of them.
unsigned NumberAfter(const std::string& lower, std::string_view prefix) {
  if (lower.size() <= prefix.size() || lower.size() > prefix.size() + 5 ||
      lower.compare(0, prefix.size(), prefix) != 0) {
    return 0;
  }
  unsigned number = 0;
  for (std::size_t i = prefix.size(); i < lower.size(); ++i) {
    if (lower[i] < '0' || lower[i] > '9') return 0;
    number = number * 10 + static_cast<unsigned>(lower[i] - '0');
  }
  return number;
}

}  // namespace

unsigned WindowsCodePage(std::string_view name) {
  const std::string lower = LowerAscii(name);
  for (const NamedCodePage& known : kCodePages) {
    if (lower == known.name) return known.codePage;
  }
  for (std::string_view prefix : {"windows-", "cp", "ibm"}) {
    if (const unsigned number = NumberAfter(lower, prefix)) return number;
  }
  return 0;
}

std::string IconvEncodingName(std::string_view name) {
  if (name.empty()) return {};
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.' || c == ':';
    if (!plain) return {};
  }
  const unsigned codePage = WindowsCodePage(name);
  // The East Asian names mean Windows' variants of them.
  if (codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950) {
    return "CP" + std::to_string(codePage);
  }
  return std::string(name);
}

bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    // The continuation bytes a lead takes and the range the first of them
    // may have: the narrow ranges exclude longer forms, surrogates and
    // everything above U+10FFFF.
    std::size_t count = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) {
      count = 0;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      count = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      count = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      count = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i - 1 < count) return false;
    for (std::size_t k = 1; k <= count; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return false;
    }
    i += count + 1;
  }
  return true;
}
