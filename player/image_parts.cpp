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

std::uint64_t BigEndian(std::string_view bytes, std::size_t at, int count) {
  std::uint64_t value = 0;
  for (int i = 0; i < count; ++i) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  }
  return value;
}

std::uint64_t LittleEndian(std::string_view bytes, std::size_t at, int count) {
  std::uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  }
  return value;
}

// A piece of `bytes`, or nothing when it reaches beyond them.
std::optional<std::string_view> Piece(std::string_view bytes, std::uint64_t at,
                                      std::uint64_t count) {
  if (at > bytes.size() || count > bytes.size() - at) return std::nullopt;
  return bytes.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(count));
}

constexpr std::uint32_t kQcow2DataFileExtension = 0x44415441;  // "DATA"
constexpr std::size_t kQcow2Version2HeaderBytes = 72;

std::optional<std::vector<std::string>> Qcow2Names(std::string_view start) {
  std::vector<std::string> names;
  if (start.size() < kQcow2Version2HeaderBytes || start.substr(0, 4) != "QFI\xFB") return names;
  const std::uint64_t version = BigEndian(start, 4, 4);
  const std::uint64_t backingOffset = BigEndian(start, 8, 8);
  const std::uint64_t backingSize = BigEndian(start, 16, 4);
  if (backingOffset != 0 && backingSize != 0) {
    const auto backing = Piece(start, backingOffset, backingSize);
    if (!backing) return std::nullopt;
    names.emplace_back(*backing);
  }
  std::uint64_t at = kQcow2Version2HeaderBytes;
  if (version >= 3) {
    if (start.size() < 104) return std::nullopt;
    at = BigEndian(start, 100, 4);
  }
  // The header extensions, up to the end mark.
  while (true) {
    const auto head = Piece(start, at, 8);
    if (!head) return std::nullopt;
    const std::uint64_t type = BigEndian(*head, 0, 4);
    const std::uint64_t length = BigEndian(*head, 4, 4);
    if (type == 0) return names;
    const auto data = Piece(start, at + 8, length);
    if (!data) return std::nullopt;
    if (type == kQcow2DataFileExtension) names.emplace_back(*data);
    at += 8 + ((length + 7) / 8) * 8;
  }
}

// The quoted names of a descriptor: extents and parentFileNameHint.
std::vector<std::string> DescriptorNames(std::string_view descriptor) {
  std::vector<std::string> names;
  while (!descriptor.empty()) {
    const std::size_t end = descriptor.find_first_of("\r\n");
    std::string_view line = descriptor.substr(0, end);
    descriptor.remove_prefix(end == std::string_view::npos ? descriptor.size() : end + 1);
    std::string_view rest = line;
    const std::string_view first = NextWord(rest);
    const bool extent = first == "RW" || first == "RDONLY" || first == "NOACCESS";
    if (!extent && line.find("parentFileNameHint") == std::string_view::npos) continue;
    const std::size_t open = line.find('"');
    const std::size_t close = open == std::string_view::npos ? open : line.find('"', open + 1);
    if (close == std::string_view::npos || close == open + 1) continue;
    names.emplace_back(line.substr(open + 1, close - open - 1));
  }
  return names;
}

constexpr std::uint64_t kVmdkSectorBytes = 512;

std::optional<std::vector<std::string>> VmdkNames(std::string_view start) {
  if (start.rfind("# Disk DescriptorFile", 0) == 0) return DescriptorNames(start);
  if (start.size() < 44 || start.substr(0, 4) != "KDMV") return std::vector<std::string>{};
  const std::uint64_t offset = LittleEndian(start, 28, 8);
  const std::uint64_t size = LittleEndian(start, 36, 8);
  if (offset == 0 || size == 0) return std::vector<std::string>{};
  if (offset > kMaximumSectors || size > kMaximumSectors) return std::nullopt;
  const auto descriptor = Piece(start, offset * kVmdkSectorBytes, size * kVmdkSectorBytes);
  if (!descriptor) return std::nullopt;
  return DescriptorNames(descriptor->substr(0, descriptor->find('\0')));
}

}  // namespace

std::optional<std::vector<std::string>> NamesInImageStart(std::string_view start,
                                                          const std::string& format) {
  if (format == "qcow2") return Qcow2Names(start);
  if (format == "vmdk") return VmdkNames(start);
  return std::vector<std::string>{};
}

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
