// The text and path helpers against simple models: FormatInteger against
// std::to_string, DateValueFromParts against glibc's timegm, ReplaceAll
// against a plain replacement loop, the path names against the rules of
// each system (a Windows name is absolute only with a leading separator or
// an ASCII letter and a colon), the ASCII case helpers against each byte.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "fuzz/model_check.h"
#include "platform/ascii_case.h"
#include "platform/command_line.h"
#include "platform/path_names.h"
#include "platform/text_utilities.h"

namespace {

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool SameAt(std::string_view text, std::size_t at, std::string_view find, bool anyCase) {
  if (text.size() - at < find.size()) return false;
  for (std::size_t i = 0; i < find.size(); ++i) {
    if (anyCase ? Lower(text[at + i]) != Lower(find[i]) : text[at + i] != find[i]) return false;
  }
  return true;
}

// Every occurrence of `find`, left to right without overlap, replaced.
std::string Replaced(std::string_view text, std::string_view find, std::string_view replacement,
                     bool anyCase) {
  std::string result;
  for (std::size_t at = 0; at < text.size();) {
    if (!find.empty() && SameAt(text, at, find, anyCase)) {
      result += replacement;
      at += find.size();
    } else {
      result += text[at++];
    }
  }
  return result;
}

void CheckReplaceAll(FuzzedDataProvider& input) {
  const std::uint32_t mode = input.ConsumeIntegralInRange<std::uint32_t>(0, 3);
  const bool anyCase = (mode & CaseInsensitive) != 0;
  const std::string find = input.ConsumeRandomLengthString(16);
  const std::string replacement = input.ConsumeRandomLengthString(16);
  std::string text = input.ConsumeRandomLengthString(512);
  const std::string original = text;
  const std::string result = ReplaceAll(text, find, replacement, mode);
  if (mode & RewriteInPlace) {
    // Only a replacement of the same length can be written over the text.
    const bool rewrites = !find.empty() && find.size() == replacement.size();
    MODEL_CHECK(result.empty());
    MODEL_CHECK(text == (rewrites ? Replaced(original, find, replacement, anyCase) : original));
  } else {
    MODEL_CHECK(text == original);
    MODEL_CHECK(result == Replaced(original, find, replacement, anyCase));
  }
}

void CheckDate(FuzzedDataProvider& input) {
  const std::int32_t year = input.ConsumeIntegralInRange<std::int32_t>(-5, 40000);
  const std::int32_t month = input.ConsumeIntegralInRange<std::int32_t>(-1, 14);
  const std::int32_t day = input.ConsumeIntegralInRange<std::int32_t>(-1, 33);
  const std::int32_t hour = input.ConsumeIntegralInRange<std::int32_t>(-1, 25);
  const std::int32_t minute = input.ConsumeIntegralInRange<std::int32_t>(-1, 61);
  const std::int32_t second = input.ConsumeIntegralInRange<std::int32_t>(-1, 61);
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  const std::int64_t seconds = timegm(&parts);
  // timegm moves every field into its range; a valid date stays as it was.
  const bool valid = year >= 1 && parts.tm_year == year - 1900 && parts.tm_mon == month - 1 &&
                     parts.tm_mday == day && parts.tm_hour == hour && parts.tm_min == minute &&
                     parts.tm_sec == second;
  const bool fits = seconds >= INT32_MIN && seconds <= INT32_MAX;
  const DateValue value = DateValueFromParts(year, month, day, hour, minute, second);
  MODEL_CHECK(value == (valid && fits ? static_cast<DateValue>(seconds) : kInvalidDateValue));
}

void CheckPathNames(std::string_view path) {
  for (const char separator : {'/', '\\'}) {
    const bool windows = separator == '\\';
    const bool absolute =
        !path.empty() &&
        (path[0] == '/' || (windows && path[0] == '\\') ||
         (windows && path.size() >= 2 && path[1] == ':' &&
          ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z'))));
    MODEL_CHECK(IsAbsolutePath(path, separator) == absolute);
    const std::string folder = FolderOfPath(path, separator);
    const std::string_view last = LastPathName(path, separator);
    MODEL_CHECK(folder + std::string(last) == path);
    MODEL_CHECK(folder.empty() || IsPathSeparator(folder.back(), separator));
    MODEL_CHECK(last.find('/') == std::string_view::npos &&
                (!windows || last.find('\\') == std::string_view::npos));
    const std::string inFolder = PathInFolder(path, "/base\\", separator);
    MODEL_CHECK(inFolder == (absolute ? std::string(path) : "/base\\" + std::string(path)));
  }
  // The directory part: a prefix (after one leading quote) that ends with
  // the last separator before any "|".
  const std::string directory = DirectoryPart(path);
  const std::size_t start = !path.empty() && path[0] == '"' ? 1 : 0;
  const std::string_view scanned = path.substr(0, path.find('|'));
  const std::size_t last = scanned.find_last_of("/\\");
  MODEL_CHECK(directory == (last == std::string_view::npos || last < start
                                ? std::string()
                                : std::string(path.substr(start, last + 1 - start))));
  MODEL_CHECK(IsSameDirectory(path, path) == !path.empty());
  MODEL_CHECK(IsSameDirectory(path, std::string(path) + "/") == !path.empty());
}

void CheckAsciiCase(std::string_view a, std::string_view b) {
  const std::string lower = LowerAscii(a);
  MODEL_CHECK(lower.size() == a.size());
  for (std::size_t i = 0; i < a.size(); ++i) MODEL_CHECK(lower[i] == Lower(a[i]));
  MODEL_CHECK(EqualsIgnoringAsciiCase(a, b) == (LowerAscii(a) == LowerAscii(b)));
  MODEL_CHECK(EndsWithIgnoringAsciiCase(a, b) ==
              (a.size() >= b.size() && LowerAscii(a.substr(a.size() - b.size())) == LowerAscii(b)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::int32_t number = input.ConsumeIntegral<std::int32_t>();
  MODEL_CHECK(FormatInteger(number) == std::to_string(number));
  CheckDate(input);
  CheckReplaceAll(input);
  const std::string first = input.ConsumeRandomLengthString(64);
  const std::string rest = input.ConsumeRemainingBytesAsString();
  CheckAsciiCase(first, rest);
  CheckPathNames(first);
  CheckPathNames(rest);
  return 0;
}
