// A small JSON reader for the answers of QEMU's tools (qemu-img info).
// It keeps the whole document as a tree of values; numbers stay as the
// text they were written as. A document nested deeper than kJsonMaximumDepth
// or not well-formed is refused, so no input can exhaust the stack.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

inline constexpr int kJsonMaximumDepth = 64;

class JsonValue {
 public:
  enum class Type { kNull, kBoolean, kNumber, kString, kArray, kObject };

  Type type() const { return type_; }
  // The text of a string, the digits of a number; empty otherwise.
  const std::string& text() const { return text_; }
  bool boolean() const { return boolean_; }
  const std::vector<JsonValue>& items() const { return items_; }
  // The member of an object, or null when it has none of that name (or is
  // no object).
  const JsonValue* Member(const std::string& name) const;
  // The text of a string member; empty when it is missing or no string.
  std::string StringMember(const std::string& name) const;

 private:
  friend class JsonParser;
  Type type_ = Type::kNull;
  std::string text_;
  bool boolean_ = false;
  std::vector<JsonValue> items_;
  std::vector<std::pair<std::string, JsonValue>> members_;
};

// The value of the whole text; nothing when it is no single JSON value.
std::optional<JsonValue> ParseJson(std::string_view text);
