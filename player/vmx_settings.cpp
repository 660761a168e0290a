#include "player/vmx_settings.h"

#include "platform/ascii_case.h"

namespace {

bool HasControlByte(const std::string& value) {
  for (char c : value) {
    if (static_cast<unsigned char>(c) < 0x20) return true;
  }
  return false;
}

}  // namespace

const std::string* VmxSettings::Value(const std::string& key) {
  const std::string* value = config_.Find(key);
  if (value != nullptr && HasControlByte(*value)) {
    Fail("Ung\xFCltiges Zeichen im Wert von '" + key + "'.");
    return nullptr;
  }
  return value;
}

std::string VmxSettings::Text(const std::string& key) {
  const std::string* value = Value(key);
  return value == nullptr ? std::string() : *value;
}

bool VmxSettings::Flag(const std::string& key, bool absent) {
  const std::string* value = Value(key);
  if (value == nullptr) return absent;
  const std::string lower = LowerAscii(*value);
  return lower == "true" || lower == "yes" || lower == "1";
}

std::optional<long long> VmxSettings::Number(const std::string& key, long long minimum,
                                             long long maximum) {
  const std::string* value = Value(key);
  if (value == nullptr) return std::nullopt;
  long long number = 0;
  bool valid = !value->empty() && value->size() <= 12;
  for (char c : *value) {
    if (c < '0' || c > '9') valid = false;
    if (valid) number = number * 10 + (c - '0');
  }
  if (!valid || number < minimum || number > maximum) {
    Fail("Ung\xFCltiger Wert f\xFCr '" + key + "': \"" + *value +
         "\" (erlaubt: " + std::to_string(minimum) + " bis " + std::to_string(maximum) + ").");
    return std::nullopt;
  }
  return number;
}

void VmxSettings::Fail(const std::string& message) {
  if (error_.empty()) error_ = message;
}
