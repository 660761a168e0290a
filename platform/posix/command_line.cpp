#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/file_kind.h"

namespace {

std::string ReadWholeFile(const char* name) {
  std::string content;
  const int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return content;
  char block[4096];
  ssize_t got;
  while ((got = read(fd, block, sizeof block)) > 0) content.append(block, static_cast<size_t>(got));
  close(fd);
  return content;
}

constexpr char kOwnConfigFolder[] = "trennwick";
constexpr int kOwnFolderMode = 0700;  // the user's template is nobody else's business

// The directory as the kernel names the program's own (links resolved), so
// that a link such as /bin -> /usr/bin does not hide an installed program.
std::string ResolvedDirectory(const char* directory) {
  char resolved[PATH_MAX];
  if (realpath(directory, resolved) == nullptr) return directory;
  return resolved;
}

std::string WithSeparator(std::string directory) {
  if (directory.empty() || directory.back() != '/') directory += '/';
  return directory;
}

// The download folder when the user has one, else the home folder.
std::string UserStartDirectory() {
  const char* download = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD);
  if (download != nullptr && KindOfFile(download) == FileKind::kDirectory) {
    return WithSeparator(download);
  }
  return WithSeparator(g_get_home_dir());
}

// The kernel keeps the arguments as NUL-terminated strings in a row.
std::vector<std::string> ProgramArguments() {
  const std::string arguments = ReadWholeFile("/proc/self/cmdline");
  std::vector<std::string> split;
  std::size_t start = 0;
  while (start < arguments.size()) {
    std::size_t end = arguments.find('\0', start);
    if (end == std::string::npos) end = arguments.size();
    split.emplace_back(arguments, start, end - start);
    start = end + 1;
  }
  return split;
}

}  // namespace

ProgramPlaces PlacesOfProgram(const std::string& programDirectory) {
  if (!IsSameDirectory(programDirectory, ResolvedDirectory(TRENNWICK_INSTALLED_BINDIR))) {
    return ProgramPlaces{programDirectory, programDirectory};
  }
  const std::string configFolder = std::string(g_get_user_config_dir()) + '/' + kOwnConfigFolder;
  g_mkdir_with_parents(configFolder.c_str(), kOwnFolderMode);
  return ProgramPlaces{WithSeparator(configFolder), UserStartDirectory()};
}

std::vector<std::string> ProgramParameters() {
  std::vector<std::string> arguments = ProgramArguments();
  if (!arguments.empty()) arguments.erase(arguments.begin());
  return arguments;
}

std::string ProgramCommandLine() {
  std::string line;
  for (const std::string& argument : ProgramArguments()) {
    if (!line.empty()) line += ' ';
    if (argument.empty() || argument.find(' ') != std::string::npos) {
      line += '"';
      line += argument;
      line += '"';
    } else {
      line += argument;
    }
  }
  return line;
}

std::string ProgramFilePath() {
  std::string path(256, '\0');
  for (;;) {
    const ssize_t got = readlink("/proc/self/exe", path.data(), path.size());
    if (got < 0) return std::string();
    if (static_cast<std::size_t>(got) < path.size()) {
      path.resize(static_cast<std::size_t>(got));
      return path;
    }
    path.resize(path.size() * 2);  // the path may have been cut: ask again with more room
  }
}
