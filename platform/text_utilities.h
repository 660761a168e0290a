// Text and date utilities. Texts are byte strings in the Windows-1252 code
// page; every text result is a value the caller owns.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Seconds from 1970-01-01 00:00:00 to a date and time, both read on the
// local wall clock as if it were UTC. -1 marks an invalid or unrepresentable
// date.
using DateValue = std::int32_t;

inline constexpr DateValue kInvalidDateValue = -1;

// ReplaceAll modes, combinable.
inline constexpr std::uint32_t CaseInsensitive = 1;  // A-Z match a-z
inline constexpr std::uint32_t RewriteInPlace = 2;   // overwrite inside the given text

// The present local date and time.
DateValue CurrentDateValue();

// -1 for an invalid date (month 13, 30 February, second 60, year 0, ...) and
// for one whose value does not fit in 32 bits.
DateValue DateValueFromParts(std::int32_t year, std::int32_t month, std::int32_t day,
                             std::int32_t hour, std::int32_t minute, std::int32_t second);

// Decimal digits, a minus sign first for a negative value; nothing else.
std::string FormatInteger(std::int32_t value);

// Replaces every occurrence of `find`, left to right without overlap; an
// inserted replacement is never searched again. An empty `find` changes
// nothing. With RewriteInPlace the occurrences are overwritten inside `text`
// and the result is empty; when `find` and `replacement` differ in length,
// `text` stays unchanged, since it must keep its length.
std::string ReplaceAll(std::string& text, std::string_view find, std::string_view replacement,
                       std::uint32_t mode = 0);

// Byte-for-byte equality; capitals count.
bool TextEquals(std::string_view a, std::string_view b);
