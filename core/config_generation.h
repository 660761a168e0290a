// Turns the template file into the configuration of one run.
#pragma once

#include <optional>
#include <string>

#include "platform/file_channels.h"

// The channel on which the template file is read.
inline constexpr ChannelId kTemplateReadChannel = 1;

// The template line that names the image; replaced without regard to the
// case of its letters.
inline constexpr char kImagePlaceholder[] = "ide1:0.fileName = \"***isofile.iso***\"";

// The image path goes between double quotes on one line of the
// configuration, so a path with a quote or a control byte would end the
// value early or start a line of its own: false for such a path.
bool FitsIntoConfig(const std::string& imagePath);

// Reads the template line by line, joins the lines with CR LF and puts the
// image path in place of every placeholder. Nothing when the template
// cannot be opened or a read of it fails: a half-read template must never
// become a configuration.
std::optional<std::string> GenerateConfig(const std::string& templatePath,
                                          const std::string& imagePath);

// The configuration of the built-in template, for a run whose template file
// could not be written: the same bytes that the written file would give.
std::string GenerateDefaultConfig(const std::string& imagePath);
