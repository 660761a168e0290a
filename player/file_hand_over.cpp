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

std::vector<FileHandOver::Need> FileHandOver::Needs() const {
  std::vector<Need> needs(plan_.files().size());
  auto need = [&needs](std::size_t file, FileAccess access) {
    if (file >= needs.size()) return;
    if (!needs[file].handed || access != FileAccess::kRead) needs[file].access = access;
    needs[file].handed = true;
  };
  for (std::size_t use = 0; use < plan_.uses().size(); ++use) {
    if (const ImageChain* chain = plan_.ChainOfUse(use)) {
      // A vmdk descriptor is read by the player only; backing layers are
      // only read.
      for (const ImageFileUse& file : QemuFileUses(*chain, false)) {
        need(file.file, file.written ? FileAccess::kWrite : FileAccess::kRead);
      }
    } else {
      need(plan_.FileOfUse(use), plan_.uses()[use].access);
    }
  }
  return needs;
}

OpenResult FileHandOver::Open(HandOverHost& host, std::string* failed) {
  const std::vector<PlannedFile>& files = plan_.files();
  setOfFile_.assign(files.size(), 0);
  if (!host.HandsDescriptors()) return OpenResult::kOpened;
  const std::vector<Need> needs = Needs();
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!needs[i].handed) continue;
    const PlannedFile& file = files[i];
    const HandOverMode mode = ModeFor(needs[i].access);
    std::vector<int> descriptors;
    const OpenResult opened =
        file.held != kNoFile
            ? host.OpenHeld(file.held, mode, &descriptors)
            : host.OpenNamed(file.resolved, mode, file.fileKind == FileKind::kBlockDevice,
                             &descriptors);
    if (opened != OpenResult::kOpened) {
      *failed = file.resolved;
      return opened;
    }
    setOfFile_[i] = ++sets_;
    for (int descriptor : descriptors) handed_.push_back({descriptor, setOfFile_[i]});
  }
  return OpenResult::kOpened;
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

std::string FileHandOver::FileName(std::size_t use) const {
  return NameOfFile(plan_.FileOfUse(use));
}

std::vector<std::string> FileHandOver::BlockNodes(std::size_t use, const std::string& nodeName,
                                                  bool readOnly) const {
  if (const ImageChain* chain = plan_.ChainOfUse(use)) {
    return BlockdevArguments(
        *chain, nodeName, [this](std::size_t file) { return NameOfFile(file); }, readOnly);
  }
  const std::size_t file = plan_.FileOfUse(use);
  const bool drive =
      file < plan_.files().size() && plan_.files()[file].fileKind == FileKind::kBlockDevice;
  return RawBlockNodes(NameOfFile(file), nodeName, readOnly, drive ? "host_cdrom" : "file");
}
