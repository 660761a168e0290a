#include "player/host/program_runner.h"

#include <chrono>

#include "player/host/program_runner_system.h"

ProgramRunnerSystem programRunnerSystem = kSystemProgramRunnerCalls;

bool RunProgramToEnd(const std::string& program, const std::vector<std::string>& arguments,
                     const std::vector<int>& keepOpen, ProgramEnd* end) {
  const auto start = std::chrono::steady_clock::now();
  ErrorTail tail;
  *end = ProgramEnd();
  if (!programRunnerSystem.runToEnd(program, arguments, keepOpen, &tail, end)) return false;
  end->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  end->errorTail = tail.Text();
  return true;
}

bool StartCompanionProgram(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<int>& keepOpen, CompanionProgram* companion) {
  if (companion->started_) return false;
  if (!programRunnerSystem.startCompanion(program, arguments, keepOpen, &companion->handles_)) {
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
  if (programRunnerSystem.companionRunning(&handles_)) return true;
  started_ = false;
  return false;
}

void CompanionProgram::Stop() {
  if (!started_) return;
  programRunnerSystem.stopCompanion(&handles_, kCompanionStopMilliseconds);
  started_ = false;
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
