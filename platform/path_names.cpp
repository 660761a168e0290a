#include "platform/path_names.h"

#include "platform/ascii_case.h"

bool IsAbsolutePath(std::string_view name, char separator) {
  if (name.empty()) return false;
  if (separator != '\\') return name.front() == '/';
  if (IsPathSeparator(name.front(), separator)) return true;
  return name.size() >= 2 && name[1] == ':' && IsAsciiLetter(name[0]);
}

std::string FolderOfPath(std::string_view path, char separator) {
  std::size_t end = path.size();
  while (end > 0 && !IsPathSeparator(path[end - 1], separator)) --end;
  return std::string(path.substr(0, end));
}

std::string_view LastPathName(std::string_view path, char separator) {
  std::size_t start = path.size();
  while (start > 0 && !IsPathSeparator(path[start - 1], separator)) --start;
  return path.substr(start);
}

std::string PathInFolder(std::string_view name, std::string_view folder, char separator) {
  if (IsAbsolutePath(name, separator)) return std::string(name);
  return std::string(folder) + std::string(name);
}
