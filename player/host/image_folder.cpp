#include "player/host/image_folder.h"

TemporaryImageFolder::~TemporaryImageFolder() {
  if (folder_.empty()) return;
  for (const std::string& path : written_) RemoveWrittenFile(path);
  RemoveEmptyFolder(folder_);
}

bool TemporaryImageFolder::Write(const std::string& name, const std::string& bytes,
                                 std::string* path) {
  if (folder_.empty() && !MakeImageFolder(root_, &folder_)) {
    folder_.clear();
    return false;
  }
  const std::string file = folder_ + name;
  if (!WriteNewFile(file, bytes)) return false;
  written_.push_back(file);
  *path = file;
  return true;
}
