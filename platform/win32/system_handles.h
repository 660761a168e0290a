// Owners of Win32 handles, so that no path out of a function leaks one.
#pragma once

#include <windows.h>

#include <string>

// A handle that is closed when it goes out of scope.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  // Gives the handle up to the caller, who closes it.
  HANDLE Release() {
    const HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }

 private:
  HANDLE handle_;
};

// One FindFirstFileA search, closed on every path out.
class FileSearch {
 public:
  FileSearch(const std::string& searchText, WIN32_FIND_DATAA& data)
      : handle_(FindFirstFileA(searchText.c_str(), &data)) {}
  FileSearch(const FileSearch&) = delete;
  FileSearch& operator=(const FileSearch&) = delete;
  ~FileSearch() {
    if (Found()) FindClose(handle_);
  }
  bool Found() const { return handle_ != INVALID_HANDLE_VALUE; }
  bool Next(WIN32_FIND_DATAA& data) { return FindNextFileA(handle_, &data) != 0; }

 private:
  HANDLE handle_;
};
