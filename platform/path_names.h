// Path names as text, for either system: `separator` '\\' reads a name the
// Windows way (where '/' divides folders as well and a drive letter makes
// a name absolute), '/' the POSIX way. Nothing here asks the file system,
// so a test on one system checks the other's rules too.
#pragma once

#include <string>
#include <string_view>

// True for the separator of the system, and for '/' on both.
constexpr bool IsPathSeparator(char c, char separator) {
  return c == '/' || c == separator;
}

// POSIX: a leading '/'. Windows: a leading separator, or a drive letter
// (A-Z, a-z) and a colon; "0:" names no drive.
bool IsAbsolutePath(std::string_view name, char separator);

// The folder part with its trailing separator; empty when there is none.
std::string FolderOfPath(std::string_view path, char separator);

// The last name of a path (all of it when it has no separator).
std::string_view LastPathName(std::string_view path, char separator);

// `name` as it is when absolute, else below `folder` (with its trailing
// separator).
std::string PathInFolder(std::string_view name, std::string_view folder, char separator);

// True when `text` starts with `start`; Windows: letters compared without
// regard to case, '/' the same as '\\'.
bool PathStartsWith(std::string_view text, std::string_view start, char separator);

enum class PathClass {
  kOrdinary,
  kNetwork,  // \\server\share, //server/share
  kDevice,   // /dev, /proc, /sys; \\?\, \\.\ and DOS device names (CON, COM1, ...)
  kCdDrive,  // /dev/sr0, /dev/cdrom; \\.\D:, \\.\CdRom0
};

// By the name alone, without a look at the file system. `separator` '\\'
// reads the name the Windows way, where '/' divides folders as well.
PathClass ClassifyPath(std::string_view path, char separator);

// True when `path` lies in `folder` (with its trailing separator) or below.
// Windows: letters compared without regard to case, '/' the same as '\\'.
bool LiesInFolder(std::string_view path, std::string_view folder, char separator);
