#include "platform/text_utilities.h"

#include "platform/ascii_case.h"
#include "platform/text_utilities_system.h"

#include <limits>

namespace {

bool IsLeapYear(std::int64_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

bool IsValidDate(std::int32_t year, std::int32_t month, std::int32_t day, std::int32_t hour,
                 std::int32_t minute, std::int32_t second) {
  if (second < 0 || second > 59 || minute < 0 || minute > 59) return false;
  if (hour < 0 || hour > 23) return false;
  if (day < 1 || day > 31 || month < 1 || month > 12 || year <= 0) return false;
  if (day == 31 && (month == 4 || month == 6 || month == 9 || month == 11)) return false;
  if (month == 2 && (day > 29 || (day == 29 && !IsLeapYear(year)))) return false;
  return true;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian),
// negative before it. Computed directly, so no time zone or daylight-saving
// rule of the platform can enter the value.
std::int64_t DaysFromCivil(std::int64_t year, std::int64_t month, std::int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

bool MatchesAt(std::string_view text, std::size_t position, std::string_view find,
               bool caseInsensitive) {
  if (text.size() - position < find.size()) return false;
  for (std::size_t i = 0; i < find.size(); ++i) {
    const char a = text[position + i];
    const char b = find[i];
    if (caseInsensitive ? LowerAsciiChar(a) != LowerAsciiChar(b) : a != b) return false;
  }
  return true;
}

}  // namespace

DateValue DateValueFromParts(std::int32_t year, std::int32_t month, std::int32_t day,
                             std::int32_t hour, std::int32_t minute, std::int32_t second) {
  if (!IsValidDate(year, month, day, hour, minute, second)) return kInvalidDateValue;
  const std::int64_t value =
      DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  if (value < std::numeric_limits<DateValue>::min() ||
      value > std::numeric_limits<DateValue>::max()) {
    return kInvalidDateValue;
  }
  return static_cast<DateValue>(value);
}

DateValue CurrentDateValue() {
  const WallClockTime now = ReadLocalWallClock();
  return DateValueFromParts(now.year, now.month, now.day, now.hour, now.minute, now.second);
}

std::string FormatInteger(std::int32_t value) {
  // Widened first, so that the most negative value has a positive magnitude.
  std::int64_t magnitude = value;
  std::string digits;
  if (magnitude < 0) magnitude = -magnitude;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits.insert(digits.begin(), '-');
  return digits;
}

std::string ReplaceAll(std::string& text, std::string_view find, std::string_view replacement,
                       std::uint32_t mode) {
  const bool caseInsensitive = (mode & CaseInsensitive) != 0;
  if (mode & RewriteInPlace) {
    // The text keeps its length, so only a replacement of the same length
    // can be written over an occurrence.
    if (find.empty() || find.size() != replacement.size()) return std::string();
    std::size_t position = 0;
    while (position < text.size()) {
      if (MatchesAt(text, position, find, caseInsensitive)) {
        text.replace(position, find.size(), replacement);
        position += find.size();
      } else {
        ++position;
      }
    }
    return std::string();
  }
  if (find.empty()) return text;
  std::string result;
  result.reserve(text.size() + replacement.size() + 4097);
  std::size_t position = 0;
  while (position < text.size()) {
    if (MatchesAt(text, position, find, caseInsensitive)) {
      result.append(replacement);
      position += find.size();
    } else {
      result.push_back(text[position]);
      ++position;
    }
  }
  return result;
}

bool TextEquals(std::string_view a, std::string_view b) {
  return a == b;
}
