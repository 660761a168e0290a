// What a path names, for inputs that must be a file and not a device, a
// FIFO or a directory: a run only reads or boots what it was meant to.
// Links are followed, as every later open of the path follows them.
#pragma once

#include <string>

enum class FileKind {
  kMissing,  // nothing there, or it cannot be looked at
  kRegular,  // an ordinary file
  kDirectory,
  kBlockDevice,  // a disk or a physical CD drive (Windows: a \\.\ device path)
  kOther,        // a character device, a FIFO, a socket
};

FileKind KindOfFile(const std::string& path);
