#include "core/config_generation.h"

#include "platform/text_utilities.h"

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
    config += "\r\n";
  }
  const bool readFailed = ChannelReadFailed(kTemplateReadChannel);
  CloseChannel(kTemplateReadChannel);
  if (readFailed) return std::nullopt;
  const std::string replacement = "ide1:0.fileName = \"" + imagePath + "\"";
  return ReplaceAll(config, kImagePlaceholder, replacement, CaseInsensitive);
}
