// The .vmx reader and the settings the mapping units read from it, against
// what a .vmx means: keys compared without regard to case, a later setting
// of a key wins, the settings written back as lines read the same, and a
// value with a control byte reaches no unit.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/model_check.h"
#include "player/vmx_config.h"
#include "player/vmx_settings.h"

namespace {

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

bool HasByteBelow(std::string_view text, unsigned char limit) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < limit) return true;
  }
  return false;
}

// A key as the reader keeps it: lower case, no blank at either end, no
// line end, nothing that begins a comment.
void CheckKey(const std::string& key) {
  MODEL_CHECK(!key.empty());
  MODEL_CHECK(key.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ=\r\n") == std::string::npos);
  MODEL_CHECK(key.front() != ' ' && key.front() != '\t' && key.front() != '#');
  MODEL_CHECK(key.back() != ' ' && key.back() != '\t');
}

// The settings written back as VMware writes them, in another case; a
// value that holds a quote cannot be written between quotes.
void CheckWrittenBack(const VmxConfig& config) {
  std::string written;
  std::size_t expected = 0;
  for (const auto& [key, value] : config.settings) {
    if (value.find('"') != std::string::npos) continue;
    written += UpperAscii(key) + " = \"" + value + "\"\r\n";
    ++expected;
  }
  const VmxConfig read = ParseVmxText(written);
  MODEL_CHECK(read.settings.size() == expected);
  for (const auto& [key, value] : read.settings) {
    MODEL_CHECK(config.Find(key) != nullptr && *config.Find(key) == value);
  }
}

// A line appended for each key in another case wins, and changes nothing else.
void CheckLaterSettingWins(std::string_view text, const VmxConfig& config) {
  std::string changed(text);
  for (const auto& [key, value] : config.settings) {
    changed += "\n" + UpperAscii(key) + "=\"later " + std::to_string(value.size()) + "\"";
  }
  const VmxConfig read = ParseVmxText(changed);
  MODEL_CHECK(read.settings.size() == config.settings.size());
  for (const auto& [key, value] : config.settings) {
    const std::string* later = read.Find(UpperAscii(key));
    MODEL_CHECK(later != nullptr && *later == "later " + std::to_string(value.size()));
  }
}

void CheckSettings(const VmxConfig& config) {
  for (const auto& [key, value] : config.settings) {
    const bool control = HasByteBelow(value, 0x20);
    {
      VmxSettings settings(config);
      const std::string* read = settings.Value(UpperAscii(key));
      MODEL_CHECK(control ? read == nullptr && !settings.error().empty()
                          : read == &value && settings.error().empty());
    }
    {
      VmxSettings settings(config);
      const std::string lower = LowerAscii(value);
      const bool truth = lower == "true" || lower == "yes" || lower == "1";
      MODEL_CHECK(settings.Flag(key, true) == (control || truth));
      MODEL_CHECK(settings.Flag(key, false) == (!control && truth));
    }
    {
      VmxSettings settings(config);
      const std::optional<long long> number = settings.Number(key, 1, 999999999999LL);
      const bool digits = !value.empty() && value.size() <= 12 &&
                          value.find_first_not_of("0123456789") == std::string::npos;
      const bool valid = digits && std::stoll(value) >= 1;
      MODEL_CHECK(number.has_value() == valid);
      MODEL_CHECK(!valid || *number == std::stoll(value));
      MODEL_CHECK(valid == settings.error().empty());
    }
  }
  VmxSettings settings(config);
  MODEL_CHECK(settings.Value("no such key in any vmx") == nullptr && settings.error().empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const VmxConfig config = ParseVmxText(text);
  for (const auto& [key, value] : config.settings) {
    CheckKey(key);
    MODEL_CHECK(value.find_first_of("\r\n") == std::string::npos);
    MODEL_CHECK(config.Find(UpperAscii(key)) == &value);
  }
  CheckWrittenBack(config);
  CheckLaterSettingWins(text, config);
  CheckSettings(config);
  VmxConfig converted = config;
  if (ConvertVmxToSystemEncoding(converted).empty() && config.Find(".encoding") != nullptr) {
    MODEL_CHECK(converted.settings.size() == config.settings.size());
  } else {
    MODEL_CHECK(converted.settings == config.settings);
  }
  return 0;
}
