// The command-line tokenizer. Any line: the stretches lie inside it, in
// order, and a parameter is its stretch of the line. A list of arguments (split at NUL bytes, the
// program's name first) joined as Linux joins them (each one that is empty or holds a blank in
// double quotes) gives the same arguments back when none holds a quote.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/model_check.h"
#include "platform/command_line.h"

namespace {

void CheckAnyLine(std::string_view line) {
  const std::vector<std::string> parameters = ParametersOfCommandLine(line);
  if (line.find_first_not_of(' ') == std::string_view::npos) MODEL_CHECK(parameters.empty());
  std::int32_t cursor = 0;
  std::size_t previousEnd = 0;
  for (const std::string& parameter : parameters) {
    const std::int32_t before = cursor;
    const std::optional<CommandLineStretch> stretch = FindParameter(line, cursor);
    MODEL_CHECK(stretch.has_value() && cursor == before + 1);
    MODEL_CHECK(stretch->start >= previousEnd && stretch->start + stretch->length <= line.size());
    MODEL_CHECK(line.substr(stretch->start, stretch->length) == parameter);
    // Unquoted, a parameter ends at a blank; quoted, at the quote.
    MODEL_CHECK(parameter.find(' ') == std::string::npos ||
                parameter.find('"') == std::string::npos);
    previousEnd = stretch->start + stretch->length;
  }
  std::int32_t past = cursor;
  MODEL_CHECK(!FindParameter(line, past).has_value() && past == cursor);
}

std::vector<std::string> SplitAtNul(std::string_view data) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = data.find('\0', start);
    pieces.emplace_back(data.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return pieces;
    start = end + 1;
  }
}

std::string Joined(const std::vector<std::string>& arguments) {
  std::string line;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) line += ' ';
    const bool quote = arguments[i].empty() || arguments[i].find(' ') != std::string::npos;
    line += quote ? "\"" + arguments[i] + "\"" : arguments[i];
  }
  return line;
}

void CheckJoinedArguments(std::string_view data) {
  const std::vector<std::string> arguments = SplitAtNul(data);
  const std::string line = Joined(arguments);
  CheckAnyLine(line);
  for (const std::string& argument : arguments) {
    if (argument.find('"') != std::string::npos) return;
  }
  const std::vector<std::string> expected(arguments.begin() + 1, arguments.end());
  MODEL_CHECK(ParametersOfCommandLine(line) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckAnyLine(text);
  CheckJoinedArguments(text);
  return 0;
}
