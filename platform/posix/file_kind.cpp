#include <sys/stat.h>

#include "platform/file_kind.h"

FileKind KindOfFile(const std::string& path) {
  struct stat status {};
  if (path.empty() || stat(path.c_str(), &status) != 0) return FileKind::kMissing;
  if (S_ISREG(status.st_mode)) return FileKind::kRegular;
  if (S_ISDIR(status.st_mode)) return FileKind::kDirectory;
  if (S_ISBLK(status.st_mode)) return FileKind::kBlockDevice;
  return FileKind::kOther;
}
