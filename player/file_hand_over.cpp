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

bool FileHandOver::Open(HandOverHost& host, const std::vector<HandedFile>& files,
                        std::string* failed) {
  const std::vector<PlannedFile>& planned = plan_.files();
  setOfFile_.assign(planned.size(), 0);
  if (!host.HandsDescriptors()) return true;
  for (const HandedFile& handed : files) {
    if (handed.file >= planned.size() || setOfFile_[handed.file] != 0) continue;
    const PlannedFile& file = planned[handed.file];
    const HandOverMode mode = ModeFor(handed.access);
    std::vector<int> descriptors;
    const bool opened = file.held != kNoFile
                            ? host.OpenHeld(file.held, mode, &descriptors)
                            : host.OpenNamed(file.resolved, mode,
                                             file.fileKind == FileKind::kBlockDevice, &descriptors);
    if (!opened) {
      *failed = file.resolved;
      return false;
    }
    setOfFile_[handed.file] = ++sets_;
    for (int descriptor : descriptors) handed_.push_back({descriptor, sets_});
  }
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
  if (file < setOfFile_.size() && setOfFile_[file] != 0) {
    return "/dev/fdset/" + std::to_string(setOfFile_[file]);
  }
  return file < plan_.files().size() ? plan_.files()[file].resolved : std::string();
}
