#include "platform/path_names.h"

#include <algorithm>

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

namespace {

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9 (with any extension) name devices in
// every folder.
bool IsDosDeviceName(std::string_view path) {
  const std::size_t last = path.find_last_of("\\/:");
  std::string name(path.substr(last == std::string_view::npos ? 0 : last + 1));
  name = LowerAscii(name.substr(0, name.find('.')));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  if (name == "con" || name == "prn" || name == "aux" || name == "nul" || name == "conin$" ||
      name == "conout$") {
    return true;
  }
  return name.size() == 4 && (name.rfind("com", 0) == 0 || name.rfind("lpt", 0) == 0) &&
         name[3] >= '1' && name[3] <= '9';
}

PathClass ClassifyWindowsPath(std::string_view path) {
  if (PathStartsWith(path, "\\\\.\\", '\\')) {
    const std::string_view device = path.substr(4);
    const bool driveLetter = device.size() == 2 && device[1] == ':' && IsAsciiLetter(device[0]);
    const bool cdRom =
        PathStartsWith(device, "cdrom", '\\') && device.size() > 5 && AllDigits(device.substr(5));
    return driveLetter || cdRom ? PathClass::kCdDrive : PathClass::kDevice;
  }
  if (PathStartsWith(path, "\\\\?\\", '\\')) return PathClass::kDevice;
  if (PathStartsWith(path, "\\\\", '\\')) return PathClass::kNetwork;
  return IsDosDeviceName(path) ? PathClass::kDevice : PathClass::kOrdinary;
}

bool InSystemFolder(std::string_view path, std::string_view folder) {
  return path == folder || (path.size() > folder.size() &&
                            path.substr(0, folder.size()) == folder && path[folder.size()] == '/');
}

PathClass ClassifyPosixPath(std::string_view path) {
  if (path.size() >= 2 && path[0] == '/' && path[1] == '/') return PathClass::kNetwork;
  if (InSystemFolder(path, "/dev")) {
    const std::string_view name = path.substr(std::min<std::size_t>(path.size(), 5));
    if ((name.rfind("sr", 0) == 0 && name.size() > 2 && AllDigits(name.substr(2))) ||
        (name.rfind("cdrom", 0) == 0 && AllDigits(name.substr(5)))) {
      return PathClass::kCdDrive;
    }
    return PathClass::kDevice;
  }
  if (InSystemFolder(path, "/proc") || InSystemFolder(path, "/sys")) return PathClass::kDevice;
  return PathClass::kOrdinary;
}

}  // namespace

bool PathStartsWith(std::string_view text, std::string_view start, char separator) {
  if (text.size() < start.size()) return false;
  for (std::size_t i = 0; i < start.size(); ++i) {
    char a = text[i];
    char b = start[i];
    if (separator == '\\') {
      a = a == '/' ? '\\' : LowerAsciiChar(a);
      b = b == '/' ? '\\' : LowerAsciiChar(b);
    }
    if (a != b) return false;
  }
  return true;
}

PathClass ClassifyPath(std::string_view path, char separator) {
  return separator == '\\' ? ClassifyWindowsPath(path) : ClassifyPosixPath(path);
}

bool LiesInFolder(std::string_view path, std::string_view folder, char separator) {
  if (folder.empty() || !IsPathSeparator(folder.back(), separator)) return false;
  return path.size() > folder.size() && PathStartsWith(path, folder, separator);
}
