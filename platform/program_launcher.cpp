#include "platform/program_launcher.h"

#include <new>

#include "platform/program_launcher_system.h"
#include "platform/system.h"

ProgramLauncherSystem programLauncherSystem = {
    CreateLaunchPipe,       DuplicateLaunchHandlePrivately,
    CloseLaunchHandle,      StandardLaunchHandle,
    StartLaunchProcess,     OpenWithDesktop,
    WaitForLaunchedProcess, ReleaseLaunchedProcess,
};

std::list<LaunchedProgram> LaunchedProgramList;
std::mutex LaunchListLock;

namespace {

constexpr char kDoubleQuote = '"';
constexpr char kBlank = ' ';
constexpr std::uint32_t kStreamFlags =
    LaunchCaptureOutput | LaunchFeedInput | LaunchCaptureErrors | LaunchChainInput;

// A pipe end this call made; closed on every path unless handed on.
class OwnedLaunchHandle {
 public:
  OwnedLaunchHandle() = default;
  OwnedLaunchHandle(const OwnedLaunchHandle&) = delete;
  OwnedLaunchHandle& operator=(const OwnedLaunchHandle&) = delete;
  ~OwnedLaunchHandle() { Close(); }

  LaunchHandle Get() const { return handle_; }
  void Reset(LaunchHandle handle) {
    Close();
    handle_ = handle;
  }
  LaunchHandle Release() {
    const LaunchHandle handle = handle_;
    handle_ = kNoLaunchHandle;
    return handle;
  }
  void Close() {
    if (handle_ != kNoLaunchHandle) programLauncherSystem.closeHandle(Release());
  }

 private:
  LaunchHandle handle_ = kNoLaunchHandle;
};

// A started process; released unless it goes into a record.
class OwnedProcess {
 public:
  explicit OwnedProcess(LaunchHandle process) : process_(process) {}
  OwnedProcess(const OwnedProcess&) = delete;
  OwnedProcess& operator=(const OwnedProcess&) = delete;
  ~OwnedProcess() {
    if (process_ != kNoLaunchHandle) programLauncherSystem.releaseProcess(process_);
  }

  LaunchHandle Get() const { return process_; }
  LaunchHandle Release() {
    const LaunchHandle process = process_;
    process_ = kNoLaunchHandle;
    return process;
  }

 private:
  LaunchHandle process_;
};

struct LaunchPipe {
  OwnedLaunchHandle childEnd;
  OwnedLaunchHandle ownEnd;
};

// The pipes in the order they are made, each with the flag that asks for it.
struct PipeRequest {
  std::uint32_t flag;
  StandardStream stream;
};
constexpr PipeRequest kPipeRequests[] = {
    {LaunchFeedInput, kStandardInput},
    {LaunchCaptureOutput, kStandardOutput},
    {LaunchCaptureErrors, kStandardError},
};

// False when the system gives no pipe; the stream then stays as it is.
bool MakeLaunchPipe(StandardStream stream, LaunchPipe& pipe) {
  LaunchHandle readEnd = kNoLaunchHandle;
  LaunchHandle writeEnd = kNoLaunchHandle;
  if (!programLauncherSystem.createPipe(&readEnd, &writeEnd)) return false;
  const bool childReads = stream == kStandardInput;
  pipe.childEnd.Reset(childReads ? readEnd : writeEnd);
  pipe.ownEnd.Reset(childReads ? writeEnd : readEnd);
  // Our end must not reach the child, or the child would hold its own pipe
  // open and never see the end of its input. Without a duplicate the
  // inheritable end stays in use.
  LaunchHandle duplicate = kNoLaunchHandle;
  if (programLauncherSystem.duplicatePrivately(pipe.ownEnd.Get(), &duplicate)) {
    pipe.ownEnd.Reset(duplicate);
  }
  return true;
}

// Links the one record of `pending` at the head of the list.
std::intptr_t PublishRecord(std::list<LaunchedProgram>& pending) {
  LaunchedProgram* record = &pending.front();
  std::lock_guard<std::mutex> lock(LaunchListLock);
  LaunchedProgramList.splice(LaunchedProgramList.begin(), pending);
  return reinterpret_cast<std::intptr_t>(record);
}

std::intptr_t Launch(const std::string& program, const std::string& parameters,
                     const std::string& directory, std::uint32_t flags) {
  const bool keep = (flags & LaunchKeepProcess) != 0;
  const bool wait = (flags & LaunchWaitForEnd) != 0;

  // The record is made before anything starts, so that a started program
  // never lacks its record for want of memory.
  std::list<LaunchedProgram> pending;
  if (keep) pending.emplace_back();

  DirectStart start;
  start.commandLine = LaunchCommandLine(program, parameters);
  start.directory = directory;
  start.showWindow = LaunchShowValue(flags);

  LaunchPipe pipes[kStandardStreamCount];
  if (keep) {
    for (const PipeRequest& request : kPipeRequests) {
      if ((flags & request.flag) != 0 && MakeLaunchPipe(request.stream, pipes[request.stream])) {
        start.redirected = true;
      }
    }
  }
  start.detached = LaunchDetached(flags, start.redirected);
  if (start.redirected) {
    for (int stream = 0; stream < kStandardStreamCount; ++stream) {
      start.streams[stream] = pipes[stream].childEnd.Get();
      if (start.streams[stream] == kNoLaunchHandle) {
        start.streams[stream] = programLauncherSystem.standardHandle(StandardStream(stream));
      }
    }
  }

  StartedProcess started;
  if (programLauncherSystem.startProcess(start, &started)) {
    for (LaunchPipe& pipe : pipes) pipe.childEnd.Close();
    OwnedProcess process(started.process);
    if (wait) programLauncherSystem.waitForProcess(process.Get());
    if (!keep) return 1;
    LaunchedProgram& record = pending.front();
    record.process = process.Release();
    record.processId = started.processId;
    record.inputWriteEnd = pipes[kStandardInput].ownEnd.Release();
    record.outputReadEnd = pipes[kStandardOutput].ownEnd.Release();
    record.errorReadEnd = pipes[kStandardError].ownEnd.Release();
    return PublishRecord(pending);
  }

  for (LaunchPipe& pipe : pipes) {
    pipe.childEnd.Close();
    pipe.ownEnd.Close();
  }
  if (HasStreamFlag(flags)) return 0;

  DesktopOpen open;
  open.file = program;
  open.parameters = parameters;
  open.directory = DesktopFallbackDirectory(program, directory, system_facts::kPathSeparator);
  open.showWindow = start.showWindow;
  LaunchHandle opened = kNoLaunchHandle;
  if (!programLauncherSystem.openWithDesktop(open, &opened)) return 0;
  // No process when the path went to a program that was already running:
  // nothing to wait for or to release.
  OwnedProcess process(opened);
  if (wait && process.Get() != kNoLaunchHandle) programLauncherSystem.waitForProcess(process.Get());
  if (!keep) return 1;
  LaunchedProgram& record = pending.front();
  record.process = process.Release();
  record.processId = -1;
  return PublishRecord(pending);
}

}  // namespace

void InitLaunchServices() {
  // Nothing to prepare: the list and its lock are ready from static
  // initialisation, so that no launch can meet an unprepared lock.
}

std::intptr_t LaunchProgram(const std::string& program, const std::string& parameters,
                            const std::string& directory, std::uint32_t flags) {
  try {
    return Launch(program, parameters, directory, flags);
  } catch (const std::bad_alloc&) {
    // Memory runs out only before anything starts: the command line, the
    // record and the requests are all made first.
    return 0;
  }
}

std::string LaunchCommandLine(std::string_view program, std::string_view parameters) {
  std::string commandLine;
  if (!program.empty() && program.front() == kDoubleQuote) {
    commandLine = program;
  } else {
    commandLine.reserve(program.size() + parameters.size() + 3);
    commandLine += kDoubleQuote;
    commandLine += program;
    commandLine += kDoubleQuote;
  }
  if (!parameters.empty()) {
    commandLine += kBlank;
    commandLine += parameters;
  }
  return commandLine;
}

std::vector<std::string> SplitLaunchCommandLine(std::string_view commandLine) {
  std::vector<std::string> arguments;
  std::size_t at = 0;
  const std::size_t end = commandLine.size();
  while (at < end) {
    while (at < end && commandLine[at] == kBlank) ++at;
    if (at == end) break;
    if (commandLine[at] == kDoubleQuote) {
      const std::size_t start = at + 1;
      std::size_t close = commandLine.find(kDoubleQuote, start);
      if (close == std::string_view::npos) close = end;
      arguments.emplace_back(commandLine.substr(start, close - start));
      at = close == end ? end : close + 1;
    } else {
      std::size_t blank = commandLine.find(kBlank, at);
      if (blank == std::string_view::npos) blank = end;
      arguments.emplace_back(commandLine.substr(at, blank - at));
      at = blank == end ? end : blank + 1;
    }
  }
  return arguments;
}

std::string DesktopFallbackDirectory(std::string_view program, std::string_view directory,
                                     char separator) {
  if (!directory.empty()) return std::string(directory);
  const std::size_t last = program.rfind(separator);
  if (last == std::string_view::npos || last == 0) return std::string();
  return std::string(program.substr(0, last + 1));
}

bool HasStreamFlag(std::uint32_t flags) {
  return (flags & kStreamFlags) != 0;
}

std::uint16_t LaunchShowValue(std::uint32_t flags) {
  return (flags & LaunchHidden) != 0 ? kShowHidden : kShowNormal;
}

bool LaunchDetached(std::uint32_t flags, bool redirected) {
  return (flags & LaunchHidden) != 0 && !redirected;
}
