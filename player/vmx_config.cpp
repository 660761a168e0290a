#include "player/vmx_config.h"

#include "platform/ascii_case.h"
#include "player/host/machine_file_access.h"
#include "player/host/text_encoding.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

const std::string* VmxConfig::Find(std::string_view key) const {
  const auto found = settings.find(LowerAscii(key));
  return found == settings.end() ? nullptr : &found->second;
}

bool ParseVmxLine(std::string_view line, VmxConfig& config) {
  line = Trim(line);
  if (line.empty() || line.front() == '#') return false;
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) return false;
  const std::string_view key = Trim(line.substr(0, equals));
  if (key.empty()) return false;
  std::string_view value = Trim(line.substr(equals + 1));
  if (!value.empty() && value.front() == '"') {
    // The value runs to the next quote; whatever follows it is a comment.
    const std::size_t close = value.find('"', 1);
    if (close == std::string_view::npos) return false;
    value = value.substr(1, close - 1);
  }
  config.settings[LowerAscii(key)] = std::string(value);
  return true;
}

VmxConfig ParseVmxText(std::string_view text) {
  VmxConfig config;
  while (!text.empty()) {
    const std::size_t end = text.find_first_of("\r\n");
    ParseVmxLine(text.substr(0, end), config);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return config;
}

VmxReadResult ReadVmxFile(const std::string& fileName, VmxConfig& config) {
  std::string text;
  switch (ReadSmallFile(fileName, kMaximumVmxBytes, &text)) {
    case SmallFileResult::kRead:
      break;
    case SmallFileResult::kCannotOpen:
      return VmxReadResult::kCannotOpen;
    case SmallFileResult::kNotAFile:
      return VmxReadResult::kNotAFile;
    case SmallFileResult::kTooLarge:
      return VmxReadResult::kTooLarge;
    case SmallFileResult::kReadFailed:
      return VmxReadResult::kReadFailed;
  }
  config = ParseVmxText(text);
  return VmxReadResult::kRead;
}

std::string ConvertVmxToSystemEncoding(VmxConfig& config) {
  const std::string* declared = config.Find(".encoding");
  if (declared == nullptr) return {};
  const std::string encoding = *declared;
  std::map<std::string, std::string> converted;
  for (const auto& [key, value] : config.settings) {
    std::string text;
    switch (ConvertToSystemText(value, encoding, &text)) {
      case EncodingResult::kConverted:
        converted[key] = text;
        continue;
      case EncodingResult::kUnknownEncoding:
        return "Unbekannte Zeichenkodierung \"" + encoding + "\" in '.encoding'.";
      case EncodingResult::kInvalidBytes:
        return "Der Wert von '" + key + "' ist kein g\xFCltiger Text in der Zeichenkodierung \"" +
               encoding + "\" ('.encoding').";
      case EncodingResult::kNotRepresentable:
        return "Der Wert von '" + key +
               "' enth\xE4lt Zeichen, die die ANSI-Codepage dieses Systems nicht darstellen "
               "kann.";
    }
  }
  config.settings = std::move(converted);
  return {};
}
