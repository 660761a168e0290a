#include "player/host/program_search.h"

#include "platform/system.h"
#include "player/host/program_search_system.h"

ProgramSearchSystem programSearchSystem = kSystemProgramSearchCalls;

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
  if (!besideDirectory.empty() && programSearchSystem.isProgramFile(besideDirectory + file)) {
    return besideDirectory + file;
  }
  std::string path;
  std::vector<std::string> directories;
  if (programSearchSystem.environmentValue("PATH", &path)) {
    directories = SplitSearchPath(path, kSearchPathSeparator, system_facts::kPathSeparator);
  }
  for (const std::string& directory : ProgramInstallDirectories()) {
    directories.push_back(directory);
  }
  for (const std::string& directory : directories) {
    if (programSearchSystem.isProgramFile(directory + file)) return directory + file;
  }
  return {};
}
