// The host's facts on Linux: sysconf for the memory, the CPU affinity for
// the processors, GLib for the user's folders (as xdg-user-dirs names
// them), /proc for the parent.
#include "player/host/host_facts.h"

#include <glib.h>
#include <limits.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

void AddResolved(const char* folder, std::vector<std::string>* folders) {
  if (folder == nullptr) return;
  char resolved[PATH_MAX];
  if (realpath(folder, resolved) == nullptr) return;
  std::string entry = resolved;
  if (entry.back() != '/') entry += '/';
  folders->push_back(entry);
}

// The names xdg-user-dirs gives the user's folders. Where no
// user-dirs.dirs names them GLib knows the desktop alone, while browsers
// still download into ~/Downloads.
constexpr const char* kUsualUserFolders[] = {"Desktop",  "Documents", "Downloads", "Music",
                                             "Pictures", "Public",    "Templates", "Videos"};

}  // namespace

long long PhysicalMemoryMegabytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<long long>(pages) * pageSize / (1024 * 1024);
}

long long HostProcessors() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) return CPU_COUNT(&allowed);
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? online : 0;
}

std::vector<std::string> UserFolders() {
  std::vector<std::string> folders;
  AddResolved(g_get_home_dir(), &folders);
  for (int folder = G_USER_DIRECTORY_DESKTOP; folder < G_USER_N_DIRECTORIES; ++folder) {
    AddResolved(g_get_user_special_dir(static_cast<GUserDirectory>(folder)), &folders);
  }
  for (const char* name : kUsualUserFolders) {
    AddResolved((std::string(g_get_home_dir()) + '/' + name).c_str(), &folders);
  }
  return folders;
}

std::vector<std::string> TemporaryFolders() {
  std::vector<std::string> folders;
  AddResolved("/tmp", &folders);
  AddResolved(g_getenv("TMPDIR"), &folders);
  return folders;
}

std::string ParentProgramFile() {
  const std::string link = "/proc/" + std::to_string(getppid()) + "/exe";
  char resolved[PATH_MAX];
  if (realpath(link.c_str(), resolved) == nullptr) return {};
  return resolved;
}

std::string TitleDash() {
  return " \xE2\x80\x93 ";
}
