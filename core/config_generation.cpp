#include "core/config_generation.h"

#include <utility>

#include "core/default_template.h"
#include "platform/text_utilities.h"

namespace {

constexpr char kConfigLineEnd[] = "\r\n";

std::string WithImage(std::string joinedLines, const std::string& imagePath) {
  const std::string replacement = "ide1:0.fileName = \"" + imagePath + "\"";
  return ReplaceAll(joinedLines, kImagePlaceholder, replacement, CaseInsensitive);
}

}  // namespace

bool FitsIntoConfig(const std::string& imagePath) {
  for (unsigned char c : imagePath) {
    if (c == '"' || c < 0x20) return false;
  }
  return true;
}

std::optional<std::string> GenerateConfig(const std::string& templatePath,
                                          const std::string& imagePath) {
  if (OpenChannelForReading(kTemplateReadChannel, templatePath) == 0) return std::nullopt;
  // A FIFO or device would hand over whatever it gives, or nothing until
  // someone writes to it: no template.
  if (!ChannelOnRegularFile(kTemplateReadChannel)) {
    CloseChannel(kTemplateReadChannel);
    return std::nullopt;
  }
  std::string config;
  // The end test comes before every line, so an empty file gives no line.
  while (ChannelAtEnd(kTemplateReadChannel) == 0) {
    config += ReadLine(kTemplateReadChannel);
    config += kConfigLineEnd;
  }
  const bool readFailed = ChannelReadFailed(kTemplateReadChannel);
  CloseChannel(kTemplateReadChannel);
  if (readFailed) return std::nullopt;
  return WithImage(std::move(config), imagePath);
}

std::string GenerateDefaultConfig(const std::string& imagePath) {
  // The lines hold no line end of their own, so reading the written file
  // would give exactly these lines back.
  std::string config;
  for (std::string_view line : DefaultTemplateLines()) {
    config += line;
    config += kConfigLineEnd;
  }
  return WithImage(std::move(config), imagePath);
}
