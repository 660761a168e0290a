#include "player/appliance_names.h"

bool IsPlainRelativeName(std::string_view name) {
  if (name.empty()) return false;
  for (const char c : name) {
    // A colon would make a drive ("c:") or a protocol ("http:") of the name.
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '\\' || c == ':') return false;
  }
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view part = name.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}
