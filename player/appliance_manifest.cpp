#include "player/appliance_manifest.h"

#include "platform/ascii_case.h"
#include "player/appliance_names.h"

namespace {

struct Algorithm {
  std::string_view label;
  DigestKind kind;
  std::size_t hexLength;
};

constexpr Algorithm kAlgorithms[] = {
    {"SHA1", DigestKind::kSha1, 40},
    {"SHA256", DigestKind::kSha256, 64},
    {"SHA512", DigestKind::kSha512, 128},
};

bool IsHex(std::string_view text) {
  for (const char c : text) {
    const char lower = LowerAsciiChar(c);
    if (!((lower >= '0' && lower <= '9') || (lower >= 'a' && lower <= 'f'))) return false;
  }
  return true;
}

bool ReadEntry(std::string_view line, ManifestEntry* entry) {
  const std::size_t open = line.find('(');
  const std::size_t close = line.rfind(")=");
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return false;
  }
  const Algorithm* algorithm = nullptr;
  for (const Algorithm& candidate : kAlgorithms) {
    if (line.substr(0, open) == candidate.label) algorithm = &candidate;
  }
  if (algorithm == nullptr) return false;
  std::string_view digest = line.substr(close + 2);
  while (!digest.empty() && digest.front() == ' ') digest.remove_prefix(1);
  while (!digest.empty() && digest.back() == ' ') digest.remove_suffix(1);
  entry->name = std::string(line.substr(open + 1, close - open - 1));
  entry->kind = algorithm->kind;
  entry->digest = LowerAscii(digest);
  return IsPlainRelativeName(entry->name) && digest.size() == algorithm->hexLength && IsHex(digest);
}

}  // namespace

Manifest ReadManifest(std::string_view text) {
  Manifest manifest;
  if (text.size() > kMaximumManifestBytes) return manifest;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == text.size() ? end : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    ManifestEntry entry;
    if (!ReadEntry(line, &entry) || FindManifestEntry(manifest, entry.name) != nullptr) {
      return Manifest();
    }
    manifest.entries.push_back(std::move(entry));
  }
  manifest.valid = true;
  return manifest;
}

const ManifestEntry* FindManifestEntry(const Manifest& manifest, std::string_view name) {
  for (const ManifestEntry& entry : manifest.entries) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}
