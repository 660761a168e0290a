#include "player/file_hand_over.h"

namespace {

HandOverMode ModeFor(FileAccess access) {
  switch (access) {
    case FileAccess::kWrite:
      return HandOverMode::kReadWrite;
    case FileAccess::kAppend:
      return HandOverMode::kAppend;
    case FileAccess::kRead:
      break;
  }
  return HandOverMode::kRead;
}

}  // namespace

bool FileHandOver::OpenForQemu(HandOverHost& host, std::size_t held, const std::string& resolved,
                               FileAccess access, bool blockDevice, int* set) {
  const HandOverMode mode = ModeFor(access);
  std::vector<int> descriptors;
  const bool opened = held != kNoFile ? host.OpenHeld(held, mode, &descriptors)
                                      : host.OpenNamed(resolved, mode, blockDevice, &descriptors);
  if (!opened) return false;
  *set = ++sets_;
  for (int descriptor : descriptors) handed_.push_back({descriptor, sets_});
  return true;
}

bool FileHandOver::Open(HandOverHost& host, const std::vector<HandedFile>& files,
                        std::string* failed) {
  const std::vector<PlannedFile>& planned = plan_.files();
  setOfFile_.assign(planned.size(), 0);
  descriptors_ = host.HandsDescriptors();
  if (!descriptors_) return true;
  for (const HandedFile& handed : files) {
    if (handed.file >= planned.size() || setOfFile_[handed.file] != 0) continue;
    const PlannedFile& file = planned[handed.file];
    if (!OpenForQemu(host, file.held, file.resolved, handed.access,
                     file.fileKind == FileKind::kBlockDevice, &setOfFile_[handed.file])) {
      *failed = file.resolved;
      return false;
    }
  }
  return true;
}

bool FileHandOver::AddPlayerFile(HandOverHost& host, const std::string& path, FileAccess access,
                                 std::size_t* file, std::string* failed) {
  int set = 0;
  if (descriptors_ && !OpenForQemu(host, kNoFile, path, access, false, &set)) {
    *failed = path;
    return false;
  }
  playerFiles_.push_back({path, set});
  *file = plan_.files().size() + playerFiles_.size() - 1;
  return true;
}

std::vector<int> FileHandOver::Descriptors() const {
  std::vector<int> descriptors;
  for (const Handed& handed : handed_) descriptors.push_back(handed.descriptor);
  return descriptors;
}

std::vector<std::string> FileHandOver::Preamble() const {
  std::vector<std::string> arguments;
  for (const Handed& handed : handed_) {
    arguments.insert(arguments.end(), {"-add-fd", "fd=" + std::to_string(handed.descriptor) +
                                                      ",set=" + std::to_string(handed.set)});
  }
  return arguments;
}

std::string FileHandOver::NameOfFile(std::size_t file) const {
  const std::size_t planned = plan_.files().size();
  if (file >= planned && file - planned < playerFiles_.size()) {
    const PlayerFile& own = playerFiles_[file - planned];
    return own.set != 0 ? "/dev/fdset/" + std::to_string(own.set) : own.path;
  }
  if (file < setOfFile_.size() && setOfFile_[file] != 0) {
    return "/dev/fdset/" + std::to_string(setOfFile_[file]);
  }
  return file < planned ? plan_.files()[file].resolved : std::string();
}
