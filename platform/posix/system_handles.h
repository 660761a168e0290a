// Owners of POSIX descriptors and directory streams, so that no path out
// of a function leaks one.
#pragma once

#include <dirent.h>
#include <unistd.h>

// Owns a file descriptor until it is handed over.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// A directory stream, closed (with the descriptor it took over) on every
// path out.
class DirectoryStream {
 public:
  explicit DirectoryStream(DIR* stream) : stream_(stream) {}
  DirectoryStream(const DirectoryStream&) = delete;
  DirectoryStream& operator=(const DirectoryStream&) = delete;
  ~DirectoryStream() {
    if (stream_ != nullptr) closedir(stream_);
  }
  DIR* get() const { return stream_; }

 private:
  DIR* stream_;
};
