// The launcher's system calls on POSIX. A direct start is a posix_spawn of
// the command line cut back into arguments; the desktop fallback opens the
// file with the default application for its content type through GIO.
// Processes are process ids: waiting leaves the ended process unreaped (as
// a Windows process handle stays valid), and releasing reaps it.
#include <errno.h>
#include <fcntl.h>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/path_names.h"
#include "platform/program_launcher.h"
#include "platform/program_launcher_system.h"

extern char** environ;

namespace {

constexpr int kFirstFreeDescriptor = kStandardStreamCount;

// Keeps our pipe ends off the standard descriptors (possible when the
// process was started with one of them closed), so that no dup2 onto a
// standard descriptor can overwrite another pipe end.
bool MoveAboveStandardDescriptors(int& fd) {
  if (fd >= kFirstFreeDescriptor) return true;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
  close(fd);
  fd = moved;
  return moved >= 0;
}

class SpawnFileActions {
 public:
  SpawnFileActions() : ready_(posix_spawn_file_actions_init(&actions_) == 0) {}
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  ~SpawnFileActions() {
    if (ready_) posix_spawn_file_actions_destroy(&actions_);
  }
  bool Ready() const { return ready_; }
  posix_spawn_file_actions_t* Get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ready_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() : ready_(posix_spawnattr_init(&attributes_) == 0) {}
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  ~SpawnAttributes() {
    if (ready_) posix_spawnattr_destroy(&attributes_);
  }
  bool Ready() const { return ready_; }
  posix_spawnattr_t* Get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
  bool ready_;
};

// Released processes that had not ended yet; each is reaped at a later
// launch once it has, so that no released child stays a zombie for long.
std::mutex releasedProcessesLock;
std::vector<pid_t> releasedProcesses;

// True when the process is gone: reaped now, or not our child any more.
bool ReapIfEnded(pid_t pid) {
  pid_t result;
  do {
    result = waitpid(pid, nullptr, WNOHANG);
  } while (result < 0 && errno == EINTR);
  return result != 0;
}

void ReapReleasedProcesses() {
  std::lock_guard<std::mutex> lock(releasedProcessesLock);
  std::erase_if(releasedProcesses, ReapIfEnded);
}

std::string CurrentDirectory() {
  std::string directory(256, '\0');
  while (getcwd(directory.data(), directory.size()) == nullptr) {
    if (errno != ERANGE) return std::string();
    directory.resize(directory.size() * 2);
  }
  directory.resize(directory.find('\0'));
  return directory;
}

// A relative path to the program is meant from the caller's current
// directory, as on Windows, not from the child's working directory.
std::string ProgramPathFromCaller(const std::string& program, const std::string& directory) {
  if (directory.empty() || IsAbsolutePath(program, '/')) return program;
  return CurrentDirectory() + '/' + program;
}

bool IsDirectory(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Runs in the child between fork and exec: only async-signal-safe calls.
void EnterWorkingDirectory(gpointer directory) {
  if (directory != nullptr && chdir(static_cast<const char*>(directory)) != 0) _exit(127);
}

void NoteDesktopProcess(GDesktopAppInfo*, GPid pid, gpointer processId) {
  *static_cast<pid_t*>(processId) = pid;
}

}  // namespace

bool CreateLaunchPipe(LaunchHandle* readEnd, LaunchHandle* writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  const bool readMoved = MoveAboveStandardDescriptors(fds[0]);
  const bool writeMoved = MoveAboveStandardDescriptors(fds[1]);
  if (!readMoved || !writeMoved) {
    if (readMoved) close(fds[0]);
    if (writeMoved) close(fds[1]);
    return false;
  }
  *readEnd = fds[0];
  *writeEnd = fds[1];
  return true;
}

bool DuplicateLaunchHandlePrivately(LaunchHandle source, LaunchHandle* duplicate) {
  const int fd = fcntl(static_cast<int>(source), F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
  if (fd < 0) return false;
  *duplicate = fd;
  return true;
}

void CloseLaunchHandle(LaunchHandle handle) {
  // Not retried on EINTR: Linux has released the descriptor either way.
  close(static_cast<int>(handle));
}

// The child keeps a standard descriptor that it is not given a pipe for.
LaunchHandle StandardLaunchHandle(StandardStream stream) {
  return stream;
}

bool StartLaunchProcess(const DirectStart& start, StartedProcess* started) {
  ReapReleasedProcesses();
  std::vector<std::string> arguments = SplitLaunchCommandLine(start.commandLine);
  if (arguments.empty()) return false;
  const std::string path = ProgramPathFromCaller(arguments.front(), start.directory);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  SpawnFileActions actions;
  SpawnAttributes attributes;
  if (!actions.Ready() || !attributes.Ready()) return false;
  if (start.redirected) {
    for (int stream = 0; stream < kStandardStreamCount; ++stream) {
      // A standard descriptor is the child's own already.
      const LaunchHandle source = start.streams[stream];
      if (source < kFirstFreeDescriptor) continue;
      if (posix_spawn_file_actions_adddup2(actions.Get(), static_cast<int>(source), stream) != 0) {
        return false;
      }
    }
  }
  if (!start.directory.empty() &&
      posix_spawn_file_actions_addchdir_np(actions.Get(), start.directory.c_str()) != 0) {
    return false;
  }
  // The child starts with no blocked signals whatever this thread blocks;
  // a detached child has no controlling terminal, as a Windows program
  // started without a console.
  sigset_t noSignals;
  sigemptyset(&noSignals);
  short spawnFlags = POSIX_SPAWN_SETSIGMASK;
  if (start.detached) spawnFlags |= POSIX_SPAWN_SETSID;
  if (posix_spawnattr_setsigmask(attributes.Get(), &noSignals) != 0 ||
      posix_spawnattr_setflags(attributes.Get(), spawnFlags) != 0) {
    return false;
  }

  pid_t pid = 0;
  if (posix_spawn(&pid, path.c_str(), actions.Get(), attributes.Get(), argv.data(), environ) != 0) {
    return false;
  }
  started->process = pid;
  started->processId = pid;
  return true;
}

// The parameters and the show value have no counterpart here: a desktop
// application receives the file alone and places its own windows.
bool OpenWithDesktop(const DesktopOpen& open, LaunchHandle* process) {
  ReapReleasedProcesses();
  *process = kNoLaunchHandle;
  if (open.file.empty()) return false;
  if (!open.directory.empty() && !IsDirectory(open.directory)) return false;
  // A relative file name is meant from the working directory, where the
  // application will look for it.
  const std::string base = open.directory.empty() ? CurrentDirectory() : open.directory;
  const std::string path = IsAbsolutePath(open.file, '/') ? open.file : base + '/' + open.file;
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return false;

  gchar* contentType = g_content_type_guess(path.c_str(), nullptr, 0, nullptr);
  GAppInfo* application = g_app_info_get_default_for_type(contentType, FALSE);
  g_free(contentType);
  if (application == nullptr) return false;
  bool opened = false;
  if (G_IS_DESKTOP_APP_INFO(application)) {
    GFile* file = g_file_new_for_path(path.c_str());
    gchar* uri = g_file_get_uri(file);
    GList uris = {uri, nullptr, nullptr};
    pid_t pid = 0;
    GError* error = nullptr;
    // Not reaped by GLib: the process is ours to wait for and to release.
    opened =
        g_desktop_app_info_launch_uris_as_manager(
            G_DESKTOP_APP_INFO(application), &uris, nullptr,
            GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), EnterWorkingDirectory,
            open.directory.empty() ? nullptr : const_cast<char*>(open.directory.c_str()),
            NoteDesktopProcess, &pid, &error) != FALSE;
    if (error != nullptr) g_error_free(error);
    g_free(uri);
    g_object_unref(file);
    // An application started through D-Bus activation reports no process.
    if (opened) *process = pid;
  }
  g_object_unref(application);
  return opened;
}

void WaitForLaunchedProcess(LaunchHandle process) {
  siginfo_t info;
  while (waitid(P_PID, static_cast<id_t>(process), &info, WEXITED | WNOWAIT) != 0 &&
         errno == EINTR) {
  }
}

void ReleaseLaunchedProcess(LaunchHandle process) {
  const pid_t pid = static_cast<pid_t>(process);
  if (ReapIfEnded(pid)) return;
  std::lock_guard<std::mutex> lock(releasedProcessesLock);
  releasedProcesses.push_back(pid);
}

void Pause(std::uint32_t milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}
