#include "player/json_reader.h"

class JsonParser {
 public:
  explicit JsonParser(std::string_view text) : text_(text) {}

  bool Document(JsonValue* value) {
    if (!Value(value, 0)) return false;
    SkipBlanks();
    return position_ == text_.size();
  }

 private:
  void SkipBlanks() {
    while (position_ < text_.size() && (text_[position_] == ' ' || text_[position_] == '\t' ||
                                        text_[position_] == '\n' || text_[position_] == '\r')) {
      ++position_;
    }
  }

  bool Take(char c) {
    SkipBlanks();
    if (position_ >= text_.size() || text_[position_] != c) return false;
    ++position_;
    return true;
  }

  bool Word(std::string_view word) {
    if (text_.substr(position_, word.size()) != word) return false;
    position_ += word.size();
    return true;
  }

  bool Value(JsonValue* value, int depth) {
    if (depth > kJsonMaximumDepth) return false;
    SkipBlanks();
    if (position_ >= text_.size()) return false;
    const char c = text_[position_];
    if (c == '{') return Object(value, depth);
    if (c == '[') return Array(value, depth);
    if (c == '"') {
      value->type_ = JsonValue::Type::kString;
      return String(&value->text_);
    }
    if (c == 't' || c == 'f') {
      value->type_ = JsonValue::Type::kBoolean;
      value->boolean_ = c == 't';
      return Word(c == 't' ? "true" : "false");
    }
    if (c == 'n') return Word("null");
    return Number(value);
  }

  bool Number(JsonValue* value) {
    const std::size_t start = position_;
    if (position_ < text_.size() && text_[position_] == '-') ++position_;
    const std::size_t digits = position_;
    while (position_ < text_.size() &&
           ((text_[position_] >= '0' && text_[position_] <= '9') || text_[position_] == '.' ||
            text_[position_] == 'e' || text_[position_] == 'E' || text_[position_] == '+' ||
            text_[position_] == '-')) {
      ++position_;
    }
    if (position_ == digits) return false;
    value->type_ = JsonValue::Type::kNumber;
    value->text_ = std::string(text_.substr(start, position_ - start));
    return true;
  }

  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // Code points above U+007F become UTF-8; QEMU escapes only controls and
  // passes other bytes of a file name as they are.
  static void AppendCodePoint(unsigned point, std::string* out) {
    if (point < 0x80) {
      *out += static_cast<char>(point);
    } else if (point < 0x800) {
      *out += static_cast<char>(0xC0 | (point >> 6));
      *out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
      *out += static_cast<char>(0xE0 | (point >> 12));
      *out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (point & 0x3F));
    }
  }

  bool String(std::string* out) {
    ++position_;  // the opening quote
    while (position_ < text_.size()) {
      const char c = text_[position_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (position_ >= text_.size()) return false;
      const char escaped = text_[position_++];
      switch (escaped) {
        case '"':
        case '\\':
        case '/':
          *out += escaped;
          break;
        case 'b':
          *out += '\b';
          break;
        case 'f':
          *out += '\f';
          break;
        case 'n':
          *out += '\n';
          break;
        case 'r':
          *out += '\r';
          break;
        case 't':
          *out += '\t';
          break;
        case 'u': {
          if (position_ + 4 > text_.size()) return false;
          unsigned point = 0;
          for (int i = 0; i < 4; ++i) {
            const int digit = HexDigit(text_[position_++]);
            if (digit < 0) return false;
            point = point * 16 + static_cast<unsigned>(digit);
          }
          AppendCodePoint(point, out);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  bool Array(JsonValue* value, int depth) {
    ++position_;
    value->type_ = JsonValue::Type::kArray;
    if (Take(']')) return true;
    do {
      value->items_.emplace_back();
      if (!Value(&value->items_.back(), depth + 1)) return false;
    } while (Take(','));
    return Take(']');
  }

  bool Object(JsonValue* value, int depth) {
    ++position_;
    value->type_ = JsonValue::Type::kObject;
    if (Take('}')) return true;
    do {
      SkipBlanks();
      if (position_ >= text_.size() || text_[position_] != '"') return false;
      std::string name;
      if (!String(&name) || !Take(':')) return false;
      JsonValue member;
      if (!Value(&member, depth + 1)) return false;
      value->members_.emplace_back(std::move(name), std::move(member));
    } while (Take(','));
    return Take('}');
  }

  std::string_view text_;
  std::size_t position_ = 0;
};

const JsonValue* JsonValue::Member(const std::string& name) const {
  // A later member of the same name wins, as in most readers.
  for (auto member = members_.rbegin(); member != members_.rend(); ++member) {
    if (member->first == name) return &member->second;
  }
  return nullptr;
}

std::string JsonValue::StringMember(const std::string& name) const {
  const JsonValue* member = Member(name);
  return member != nullptr && member->type() == Type::kString ? member->text() : std::string();
}

std::optional<JsonValue> ParseJson(std::string_view text) {
  JsonValue value;
  if (!JsonParser(text).Document(&value)) return std::nullopt;
  return value;
}
