#include "player/image_parts.h"

#include "player/json_reader.h"

namespace {

constexpr std::uint64_t kSectorBytes = 512;
// Keeps a byte count within what QEMU's options take.
constexpr std::uint64_t kMaximumSectors = (1ULL << 62) / kSectorBytes;

bool IsAbsoluteName(const std::string& name, char separator) {
  if (name.empty()) return false;
  if (name.front() == '/' || name.front() == separator) return true;
  return separator == '\\' && name.size() >= 2 && name[1] == ':';
}

std::string FolderOf(const std::string& path, char separator) {
  const std::size_t last = path.find_last_of(separator == '\\' ? "\\/" : "/");
  return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

std::string InFolderOf(const std::string& name, const std::string& image, char separator) {
  if (IsAbsoluteName(name, separator) || HasProtocolPrefix(name)) return name;
  return FolderOf(image, separator) + name;
}

void AddLayerParts(const JsonValue& layer, bool written, char separator, ImageLayout* layout) {
  const std::string own = layer.StringMember("filename");
  const JsonValue* specific = layer.Member("format-specific");
  const JsonValue* data = specific == nullptr ? nullptr : specific->Member("data");
  if (data == nullptr) return;
  if (const JsonValue* extents = data->Member("extents")) {
    for (const JsonValue& extent : extents->items()) {
      const std::string file = extent.StringMember("filename");
      // A sparse vmdk is its own one extent.
      if (!file.empty() && file != own) {
        layout->parts.push_back({InFolderOf(file, own, separator), written});
      }
    }
  }
  const std::string dataFile = data->StringMember("data-file");
  if (!dataFile.empty()) layout->parts.push_back({InFolderOf(dataFile, own, separator), written});
}

bool ReadSectors(std::string_view digits, std::uint64_t* sectors) {
  if (digits.empty() || digits.size() > 19) return false;
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > kMaximumSectors) return false;
  *sectors = value;
  return true;
}

std::string_view NextWord(std::string_view& line) {
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  std::size_t end = 0;
  while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
  const std::string_view word = line.substr(0, end);
  line.remove_prefix(end);
  return word;
}

}  // namespace

bool HasProtocolPrefix(std::string_view name) {
  std::size_t length = 0;
  while (length < name.size()) {
    const char c = name[length];
    const bool wordByte = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '+' || c == '.' || c == '-';
    if (!wordByte) break;
    ++length;
  }
  return length >= 2 && length < name.size() && name[length] == ':';
}

std::optional<ImageLayout> ReadImageLayout(std::string_view report, const std::string& image,
                                           char separator) {
  const std::optional<JsonValue> chain = ParseJson(report);
  if (!chain || chain->type() != JsonValue::Type::kArray || chain->items().empty()) {
    return std::nullopt;
  }
  ImageLayout layout;
  const std::vector<JsonValue>& layers = chain->items();
  for (std::size_t i = 0; i < layers.size(); ++i) {
    if (layers[i].type() != JsonValue::Type::kObject) return std::nullopt;
    const std::string file = layers[i].StringMember("filename");
    if (file.empty()) return std::nullopt;
    if (i > 0) layout.parts.push_back({InFolderOf(file, image, separator), false});
    AddLayerParts(layers[i], i == 0, separator, &layout);
  }
  // qemu-img stops at a backing file it cannot open; what it could not
  // see cannot be placed.
  if (!layers.back().StringMember("backing-filename").empty()) return std::nullopt;
  const JsonValue* specific = layers.front().Member("format-specific");
  const JsonValue* data = specific == nullptr ? nullptr : specific->Member("data");
  layout.monolithicFlat = layers.size() == 1 && data != nullptr &&
                          data->StringMember("create-type") == "monolithicFlat";
  return layout;
}

std::optional<FlatExtent> ReadFlatExtent(std::string_view descriptor) {
  std::optional<FlatExtent> found;
  int extents = 0;
  while (!descriptor.empty()) {
    const std::size_t end = descriptor.find_first_of("\r\n");
    std::string_view line = descriptor.substr(0, end);
    descriptor.remove_prefix(end == std::string_view::npos ? descriptor.size() : end + 1);
    std::string_view rest = line;
    const std::string_view access = NextWord(rest);
    if (access != "RW" && access != "RDONLY" && access != "NOACCESS") continue;
    ++extents;
    std::uint64_t sectors = 0;
    if (!ReadSectors(NextWord(rest), &sectors) || NextWord(rest) != "FLAT") return std::nullopt;
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    if (rest.empty() || rest.front() != '"') return std::nullopt;
    const std::size_t close = rest.find('"', 1);
    if (close == std::string_view::npos || close == 1) return std::nullopt;
    FlatExtent extent;
    extent.file = std::string(rest.substr(1, close - 1));
    rest.remove_prefix(close + 1);
    std::uint64_t offset = 0;
    const std::string_view offsetWord = NextWord(rest);
    if (!offsetWord.empty() && !ReadSectors(offsetWord, &offset)) return std::nullopt;
    if (access == "NOACCESS" || !NextWord(rest).empty()) return std::nullopt;
    extent.written = access == "RW";
    extent.offset = offset * kSectorBytes;
    extent.size = sectors * kSectorBytes;
    found = extent;
  }
  if (extents != 1) return std::nullopt;
  return found;
}
