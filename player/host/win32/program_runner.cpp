// Running programs on Windows: through CreateProcessA with a command line
// that the MSVCRT parser (QEMU's) cuts back into exactly the given
// arguments, inside a job that ends it with the player.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/win32/system_handles.h"
#include "player/host/desktop_session.h"
#include "player/host/program_runner.h"
#include "player/host/program_runner_system.h"
#include "player/host/win32/windows_command_line.h"

namespace {

// A job that kills its processes when its last handle closes: ours is the
// only one (not inheritable), so the processes end with the player, however
// it ends.
HANDLE MakeKillOnCloseJob() {
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

// Starts the program suspended, puts it into a job of its own and lets it
// run, so that not one instruction of it runs outside the job. `errorEnd`
// (nullptr: ours) becomes its stderr.
bool StartInJob(const std::string& program, const std::vector<std::string>& arguments,
                HANDLE errorEnd, PROCESS_INFORMATION* process, HANDLE* job) {
  std::vector<std::string> all{program};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::string commandLine = WindowsCommandLine(all);
  *job = MakeKillOnCloseJob();
  if (*job == nullptr) return false;
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = errorEnd != nullptr ? errorEnd : GetStdHandle(STD_ERROR_HANDLE);
  // QEMU is a console program; the player is not, and no console window
  // should appear beside the machine's.
  if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                      CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup, process)) {
    CloseHandle(*job);
    return false;
  }
  if (!AssignProcessToJobObject(*job, process->hProcess) || ResumeThread(process->hThread) == -1U) {
    // A machine that might outlive the player is not started at all.
    TerminateProcess(process->hProcess, 1);
    WaitForSingleObject(process->hProcess, INFINITE);
    CloseHandle(process->hProcess);
    CloseHandle(process->hThread);
    CloseHandle(*job);
    return false;
  }
  CloseHandle(process->hThread);
  return true;
}

bool RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
              const std::vector<int>& keepOpen, ErrorTail* tail, ProgramEnd* end) {
  (void)keepOpen;  // Windows hands QEMU names, not descriptors
  // The child's stderr is a pipe whose write end alone is inheritable.
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return false;
  ScopedHandle readOwner(readEnd);
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  PROCESS_INFORMATION process{};
  HANDLE job = nullptr;
  const bool started = StartInJob(program, arguments, writeEnd, &process, &job);
  CloseHandle(writeEnd);
  if (!started) return false;
  ScopedHandle jobHandle(job);
  ScopedHandle processHandle(process.hProcess);
  char buffer[4096];
  DWORD count = 0;
  while (ReadFile(readEnd, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    tail->Append(buffer, count);
    WriteToStandardError({buffer, count});
  }
  if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  if (!GetExitCodeProcess(process.hProcess, &code)) return false;
  end->exitCode = static_cast<std::int32_t>(code);
  return true;
}

bool StartCompanion(const std::string& program, const std::vector<std::string>& arguments,
                    const std::vector<int>& keepOpen, ProcessHandles* handles) {
  (void)keepOpen;
  PROCESS_INFORMATION process{};
  HANDLE job = nullptr;
  if (!StartInJob(program, arguments, nullptr, &process, &job)) return false;
  handles->process = reinterpret_cast<std::intptr_t>(process.hProcess);
  handles->job = reinterpret_cast<std::intptr_t>(job);
  return true;
}

void ReleaseCompanion(ProcessHandles* handles) {
  CloseHandle(reinterpret_cast<HANDLE>(handles->process));
  CloseHandle(reinterpret_cast<HANDLE>(handles->job));
  *handles = ProcessHandles();
}

bool CompanionRunning(ProcessHandles* handles) {
  if (handles->process == 0) return false;
  if (WaitForSingleObject(reinterpret_cast<HANDLE>(handles->process), 0) == WAIT_TIMEOUT) {
    return true;
  }
  ReleaseCompanion(handles);
  return false;
}

void StopCompanion(ProcessHandles* handles, int graceMilliseconds) {
  // A console program without a console has no gentle way to be asked;
  // the grace is for the system to finish the termination.
  if (!CompanionRunning(handles)) return;
  const HANDLE process = reinterpret_cast<HANDLE>(handles->process);
  TerminateProcess(process, 1);
  WaitForSingleObject(process, static_cast<DWORD>(graceMilliseconds));
  ReleaseCompanion(handles);
}

}  // namespace

const ProgramRunnerSystem kSystemProgramRunnerCalls = {RunToEnd, StartCompanion, CompanionRunning,
                                                       StopCompanion};
