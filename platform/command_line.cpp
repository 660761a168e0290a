#include "platform/command_line.h"

#include <vector>

namespace {

// The number of the parameter that NextProgramParameter hands out next.
std::int32_t g_parameterCursor = 0;

constexpr char kBlank = ' ';
constexpr char kQuote = '"';

// Walks the stretches of the command line up to the parameter whose number
// is `wanted`; nothing when the line has no such parameter.
std::optional<CommandLineStretch> FindStretch(std::string_view line, std::int32_t wanted) {
  std::int32_t number = -1;  // the program's own name
  std::size_t at = 0;
  while (at < line.size()) {
    // Only the blank separates; a tab is an ordinary character.
    while (at < line.size() && line[at] == kBlank) ++at;
    if (at == line.size()) break;
    CommandLineStretch stretch;
    if (line[at] == kQuote) {
      stretch.start = at + 1;
      const std::size_t close = line.find(kQuote, stretch.start);
      const std::size_t end = close == std::string_view::npos ? line.size() : close;
      stretch.length = end - stretch.start;
      // The walk goes on right after the closing quote, blank or not.
      at = close == std::string_view::npos ? line.size() : close + 1;
    } else {
      stretch.start = at;
      const std::size_t blank = line.find(kBlank, at);
      const std::size_t end = blank == std::string_view::npos ? line.size() : blank;
      stretch.length = end - stretch.start;
      at = blank == std::string_view::npos ? line.size() : blank + 1;
    }
    if (number == wanted) return stretch;
    ++number;
  }
  return std::nullopt;
}

}  // namespace

std::optional<CommandLineStretch> FindParameter(std::string_view commandLine,
                                                std::int32_t& cursor) {
  const std::optional<CommandLineStretch> found = FindStretch(commandLine, cursor);
  if (found) ++cursor;
  return found;
}

std::vector<std::string> ParametersOfCommandLine(std::string_view commandLine) {
  std::vector<std::string> parameters;
  std::int32_t cursor = 0;
  while (const std::optional<CommandLineStretch> stretch = FindParameter(commandLine, cursor)) {
    parameters.emplace_back(commandLine.substr(stretch->start, stretch->length));
  }
  return parameters;
}

std::string NextProgramParameter() {
  const std::vector<std::string> parameters = ProgramParameters();
  if (g_parameterCursor < 0 || static_cast<std::size_t>(g_parameterCursor) >= parameters.size()) {
    return std::string();
  }
  return parameters[static_cast<std::size_t>(g_parameterCursor++)];
}

std::string ParameterAt(std::int32_t index) {
  if (index >= 0) g_parameterCursor = index;
  return NextProgramParameter();
}

std::int32_t ParameterCount() {
  return static_cast<std::int32_t>(ProgramParameters().size());
}

std::string DirectoryPart(std::string_view path) {
  const std::size_t start = (!path.empty() && path[0] == kQuote) ? 1 : 0;
  std::size_t end = start;  // right after the last separator seen
  for (std::size_t i = 0; i < path.size() && path[i] != '|'; ++i) {
    if (path[i] == '\\' || path[i] == '/') end = i + 1;
  }
  if (end <= start) return std::string();
  return std::string(path.substr(start, end - start));
}

bool IsSameDirectory(std::string_view first, std::string_view second) {
  const auto withoutSeparators = [](std::string_view path) {
    while (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.remove_suffix(1);
    return path;
  };
  if (first.empty() || second.empty()) return false;
  // The root: both are empty once their separators are gone.
  return withoutSeparators(first) == withoutSeparators(second);
}
