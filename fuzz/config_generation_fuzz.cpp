// The configuration made from a template, read through the file channels
// from a stand-in file that hands over the fuzzer's bytes in chunks of its
// choosing (and may fail a read, or give no transfer buffer). The model:
// the template's lines (ended by CR LF, a lone CR, a lone LF or a NUL)
// joined with CR LF, the placeholder replaced in any case by the image's
// line, left to right; nothing when a read fails or the file is no regular
// one. The built-in template gives what its written file gives.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/config_generation.h"
#include "core/default_template.h"
#include "fuzz/model_check.h"
#include "platform/file_channels_system.h"

namespace {

constexpr char kTemplateName[] = "template.txt";
constexpr SystemFile kTemplateFile = 3;

// The stand-in file: its bytes, the read position, the largest chunk a read
// hands over, and the position at which a read fails (past the end: none).
struct StandInFile {
  std::string bytes;
  std::size_t position = 0;
  std::size_t chunk = 1;
  std::size_t failAt = 0;
  bool regular = true;
  bool buffers = true;
};
StandInFile g_file;

SystemFile OpenStandIn(const std::string& name, ChannelOpenMode mode) {
  if (name != kTemplateName || mode != ChannelOpenMode::kReadShared) return kNoSystemFile;
  g_file.position = 0;
  return kTemplateFile;
}

std::int32_t ReadStandIn(SystemFile file, void* destination, std::int32_t length) {
  MODEL_CHECK(file == kTemplateFile && length > 0);
  if (g_file.position >= g_file.failAt) return -1;
  const std::size_t count =
      std::min({static_cast<std::size_t>(length), g_file.chunk,
                g_file.bytes.size() - std::min(g_file.position, g_file.bytes.size()),
                g_file.failAt - g_file.position});
  if (count > 0) std::memcpy(destination, g_file.bytes.data() + g_file.position, count);
  g_file.position += count;
  return static_cast<std::int32_t>(count);
}

std::int32_t WriteNothing(SystemFile, const void*, std::int32_t) {
  ModelCheckFailed("no write to a template", __FILE__, __LINE__);
}

bool MoveStandIn(SystemFile file, std::int32_t distance) {
  MODEL_CHECK(file == kTemplateFile);
  if (distance < 0 && static_cast<std::size_t>(-distance) > g_file.position) return false;
  g_file.position += distance;
  return true;
}

void CloseStandIn(SystemFile file) {
  MODEL_CHECK(file == kTemplateFile);
}

void* AllocateBuffer(std::size_t size) {
  return g_file.buffers ? ::operator new(size) : nullptr;
}

void ReleaseBuffer(void* buffer) {
  ::operator delete(buffer);
}

bool StandInIsRegular(SystemFile) {
  return g_file.regular;
}

std::vector<std::string> TemplateLines(std::string_view bytes) {
  std::vector<std::string> lines;
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::string line;
    while (i < bytes.size()) {
      const char c = bytes[i++];
      if (c == '\r') {
        if (i < bytes.size() && bytes[i] == '\n') ++i;
        break;
      }
      if (c == '\n' || c == '\0') break;
      line += c;
    }
    lines.push_back(line);
  }
  return lines;
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool PlaceholderAt(std::string_view text, std::size_t at) {
  const std::string_view placeholder = kImagePlaceholder;
  if (text.size() - at < placeholder.size()) return false;
  for (std::size_t i = 0; i < placeholder.size(); ++i) {
    if (Lower(text[at + i]) != Lower(placeholder[i])) return false;
  }
  return true;
}

std::string ExpectedConfig(const std::vector<std::string>& lines, const std::string& image) {
  std::string joined;
  for (const std::string& line : lines) joined += line + "\r\n";
  std::string config;
  for (std::size_t at = 0; at < joined.size();) {
    if (PlaceholderAt(joined, at)) {
      config += "ide1:0.fileName = \"" + image + "\"";
      at += std::string_view(kImagePlaceholder).size();
    } else {
      config += joined[at++];
    }
  }
  return config;
}

void UseStandIn() {
  InitChannelTable();
  fileChannelSystem = {&OpenStandIn,  &ReadStandIn,    &WriteNothing,  &MoveStandIn,
                       &CloseStandIn, &AllocateBuffer, &ReleaseBuffer, &StandInIsRegular};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  UseStandIn();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  g_file.chunk = input.ConsumeIntegralInRange<std::size_t>(1, 5000);
  g_file.regular = input.ConsumeProbability<float>() > 0.05f;
  g_file.buffers = input.ConsumeProbability<float>() > 0.1f;
  const bool fails = input.ConsumeProbability<float>() < 0.1f;
  const bool checkBuiltIn = input.ConsumeProbability<float>() < 0.05f;
  const std::size_t failSixtyFourths = input.ConsumeIntegralInRange<std::size_t>(0, 64);
  const std::string image = input.ConsumeRandomLengthString(300);
  g_file.bytes = input.ConsumeRemainingBytesAsString();
  g_file.failAt = fails ? g_file.bytes.size() * failSixtyFourths / 64 : SIZE_MAX;

  const std::optional<std::string> config = GenerateConfig(kTemplateName, image);
  if (!g_file.regular || g_file.failAt <= g_file.bytes.size()) {
    MODEL_CHECK(!config.has_value());
  } else {
    MODEL_CHECK(config.has_value() &&
                *config == ExpectedConfig(TemplateLines(g_file.bytes), image));
  }

  // The built-in template's configuration is that of its written file
  // (111 lines: not on every run).
  if (!checkBuiltIn) return 0;
  g_file.bytes = DefaultTemplateText();
  g_file.failAt = SIZE_MAX;
  g_file.regular = true;
  MODEL_CHECK(GenerateConfig(kTemplateName, image) == GenerateDefaultConfig(image));
  return 0;
}
