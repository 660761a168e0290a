#include "platform/player_host.h"

#include "platform/player_host_system.h"
#include "platform/system.h"

PlayerHostSystem playerHostSystem = kSystemPlayerHostCalls;

std::vector<std::string> SplitSearchPath(const std::string& list, char listSeparator,
                                         char separator) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(listSeparator, start);
    if (end == std::string::npos) end = list.size();
    std::string entry = list.substr(start, end - start);
    if (!entry.empty()) {
      if (entry.back() != separator && entry.back() != '/') entry += separator;
      entries.push_back(entry);
    }
    start = end + 1;
  }
  return entries;
}

std::string FindProgram(const std::string& name, const std::string& besideDirectory) {
  const std::string file = name + kProgramExtension;
  if (!besideDirectory.empty() && playerHostSystem.isProgramFile(besideDirectory + file)) {
    return besideDirectory + file;
  }
  std::string path;
  if (!playerHostSystem.environmentValue("PATH", &path)) return {};
  for (const std::string& directory :
       SplitSearchPath(path, kSearchPathSeparator, system_facts::kPathSeparator)) {
    if (playerHostSystem.isProgramFile(directory + file)) return directory + file;
  }
  return {};
}

bool RunProgramToEnd(const std::string& program, const std::vector<std::string>& arguments,
                     std::int32_t* exitCode) {
  return playerHostSystem.runToEnd(program, arguments, exitCode);
}

bool HardwareAccelerationUsable() {
  // Windows has no /dev/kvm; the test fails there without a word.
  return playerHostSystem.opensForReadWrite("/dev/kvm");
}

bool GraphicalDisplayPresent() {
  std::string value;
  if (kSearchPathSeparator == ';') return true;  // Windows always has its desktop
  return (playerHostSystem.environmentValue("DISPLAY", &value) && !value.empty()) ||
         (playerHostSystem.environmentValue("WAYLAND_DISPLAY", &value) && !value.empty());
}

std::string DefaultAudioDriver() {
  if (kSearchPathSeparator == ';') return "dsound";
  // PulseAudio (or PipeWire's stand-in for it): a server named in the
  // environment, or the user's socket. ALSA alone is not trusted: opening
  // a missing card would stop QEMU from starting.
  std::string value;
  if (playerHostSystem.environmentValue("PULSE_SERVER", &value) && !value.empty()) return "pa";
  if (playerHostSystem.environmentValue("XDG_RUNTIME_DIR", &value) && !value.empty() &&
      playerHostSystem.exists(value + "/pulse/native")) {
    return "pa";
  }
  return {};
}

std::string QuoteWindowsArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      quoted.append(2 * backslashes + 1, '\\');
    } else {
      quoted.append(backslashes, '\\');
    }
    backslashes = 0;
    quoted += c;
  }
  // Backslashes before the closing quote are doubled so that it stays one.
  quoted.append(2 * backslashes, '\\');
  quoted += '"';
  return quoted;
}

std::string WindowsCommandLine(const std::vector<std::string>& arguments) {
  std::string line;
  for (const std::string& argument : arguments) {
    if (!line.empty()) line += ' ';
    line += QuoteWindowsArgument(argument);
  }
  return line;
}
