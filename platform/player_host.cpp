#include "platform/player_host.h"

#include <chrono>

#include "platform/command_line.h"
#include "platform/file_kind.h"
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
  std::vector<std::string> directories;
  if (playerHostSystem.environmentValue("PATH", &path)) {
    directories = SplitSearchPath(path, kSearchPathSeparator, system_facts::kPathSeparator);
  }
  std::string programFiles;
  if (kSearchPathSeparator == ';' &&
      playerHostSystem.environmentValue("ProgramFiles", &programFiles) && !programFiles.empty()) {
    for (std::string& entry : SplitSearchPath(programFiles, ';', '\\')) {
      directories.push_back(entry + "qemu\\");
    }
  }
  for (const std::string& directory : directories) {
    if (playerHostSystem.isProgramFile(directory + file)) return directory + file;
  }
  return {};
}

bool RunProgramToEnd(const std::string& program, const std::vector<std::string>& arguments,
                     const std::vector<int>& keepOpen, ProgramEnd* end) {
  const auto start = std::chrono::steady_clock::now();
  ErrorTail tail;
  *end = ProgramEnd();
  if (!playerHostSystem.runToEnd(program, arguments, keepOpen, &tail, end)) return false;
  end->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  end->errorTail = tail.Text();
  return true;
}

bool StartCompanionProgram(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<int>& keepOpen, CompanionProgram* companion) {
  if (companion->started_) return false;
  if (!playerHostSystem.startCompanion(program, arguments, keepOpen, &companion->handles_)) {
    return false;
  }
  companion->started_ = true;
  return true;
}

CompanionProgram::~CompanionProgram() {
  Stop();
}

bool CompanionProgram::Running() {
  if (!started_) return false;
  if (playerHostSystem.companionRunning(&handles_)) return true;
  started_ = false;
  return false;
}

void CompanionProgram::Stop() {
  if (!started_) return;
  playerHostSystem.stopCompanion(&handles_, kCompanionStopMilliseconds);
  started_ = false;
}

bool KvmUsable() {
  // Windows has no /dev/kvm; the test fails there without a word.
  return playerHostSystem.opensForReadWrite("/dev/kvm");
}

bool WhpxUsable() {
  return playerHostSystem.whpxPresent();
}

bool GraphicalDisplayPresent() {
  std::string value;
  if (kSearchPathSeparator != ';' &&
      !(playerHostSystem.environmentValue("DISPLAY", &value) && !value.empty()) &&
      !(playerHostSystem.environmentValue("WAYLAND_DISPLAY", &value) && !value.empty())) {
    return false;
  }
  return playerHostSystem.displayOpens();
}

std::string EnvironmentText(const std::string& name) {
  std::string value;
  return playerHostSystem.environmentValue(name, &value) ? value : std::string();
}

void WriteToStandardError(const std::string& text) {
  playerHostSystem.writeToStandardError(text);
}

UefiFirmware FindUefiFirmware(bool secureBoot, const std::string& qemuProgram) {
  UefiFirmware found;
  if (kSearchPathSeparator == ';') {
    // QEMU's Windows build carries edk2 in its share folder; the i386 vars
    // template is the one its x86_64 code uses.
    const std::string share = DirectoryPart(qemuProgram) + "share\\";
    found = {share + (secureBoot ? "edk2-x86_64-secure-code.fd" : "edk2-x86_64-code.fd"),
             share + "edk2-i386-vars.fd"};
  } else {
    const std::string ovmf = "/usr/share/OVMF/";
    found = secureBoot ? UefiFirmware{ovmf + "OVMF_CODE_4M.ms.fd", ovmf + "OVMF_VARS_4M.ms.fd"}
                       : UefiFirmware{ovmf + "OVMF_CODE_4M.fd", ovmf + "OVMF_VARS_4M.fd"};
  }
  // The system's own files may be links (Debian links the 4M builds).
  if (KindOfFile(found.code) != FileKind::kRegular ||
      KindOfFile(found.variables) != FileKind::kRegular) {
    return {};
  }
  return found;
}

PrivateCopyResult MakePrivateCopy(const std::string& source, const std::string& target) {
  if (playerHostSystem.isPlainFile(target)) return PrivateCopyResult::kKept;
  if (playerHostSystem.nameTaken(target)) return PrivateCopyResult::kNotAFile;
  return playerHostSystem.copyToNewFile(source, target) ? PrivateCopyResult::kMade
                                                        : PrivateCopyResult::kFailed;
}

namespace {

// Linux's numbers (the one POSIX system the player runs on); Windows ends
// no program by a signal.
struct SignalNaming {
  int number;
  const char* name;
};
constexpr SignalNaming kSignalNames[] = {
    {1, "SIGHUP"},     {2, "SIGINT"},   {3, "SIGQUIT"},   {4, "SIGILL"},   {5, "SIGTRAP"},
    {6, "SIGABRT"},    {7, "SIGBUS"},   {8, "SIGFPE"},    {9, "SIGKILL"},  {10, "SIGUSR1"},
    {11, "SIGSEGV"},   {12, "SIGUSR2"}, {13, "SIGPIPE"},  {14, "SIGALRM"}, {15, "SIGTERM"},
    {16, "SIGSTKFLT"}, {17, "SIGCHLD"}, {18, "SIGCONT"},  {19, "SIGSTOP"}, {20, "SIGTSTP"},
    {21, "SIGTTIN"},   {22, "SIGTTOU"}, {23, "SIGURG"},   {24, "SIGXCPU"}, {25, "SIGXFSZ"},
    {26, "SIGVTALRM"}, {27, "SIGPROF"}, {28, "SIGWINCH"}, {29, "SIGIO"},   {30, "SIGPWR"},
    {31, "SIGSYS"}};

}  // namespace

std::string SignalName(int signal) {
  for (const SignalNaming& naming : kSignalNames) {
    if (naming.number == signal) return naming.name;
  }
  return {};
}

ProgramEndReport ReportProgramEnd(const std::string& programName, const ProgramEnd& end) {
  // The user (or the session's end) asked the player to stop: that is no
  // fault of the machine's, and no one may be there to read a box.
  if (end.stopSignal != 0) return {128 + end.stopSignal, {}};
  if (end.signal != 0) {
    const std::string name = SignalName(end.signal);
    return {end.exitCode, programName + " wurde durch das Signal " + std::to_string(end.signal) +
                              (name.empty() ? "" : " (" + name + ")") + " beendet."};
  }
  if (end.exitCode != 0) {
    return {end.exitCode,
            programName + " ist mit dem Code " + std::to_string(end.exitCode) + " beendet worden."};
  }
  return {0, {}};
}

void ErrorTail::Append(const char* bytes, std::size_t count) {
  kept_.append(bytes, count);
  if (kept_.size() > kErrorTailBytes) {
    kept_.erase(0, kept_.size() - kErrorTailBytes);
    cut_ = true;
  }
}

std::string ErrorTail::Text() const {
  std::string text = kept_;
  if (cut_) {
    // The first line was cut short: it begins after the first line end.
    const std::size_t newline = text.find('\n');
    text.erase(0, newline == std::string::npos ? 0 : newline + 1);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
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
