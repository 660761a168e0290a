#include "player/machine_files.h"

#include <algorithm>

#include "platform/ascii_case.h"
#include "platform/path_names.h"
#include "platform/trennwick_run.h"

namespace {

// What the plan holds a use's file for: a disk whose writes are thrown
// away is only read, whatever the guest does with it.
FileAccess FileAccessOfPlan(const FileUse& use) {
  return use.throwAwayWrites ? FileAccess::kRead : use.access;
}

bool KindFits(FileUseKind use, FileKind kind, PathClass place) {
  switch (use) {
    case FileUseKind::kCdImage:
      return kind == FileKind::kRegular ||
             (kind == FileKind::kBlockDevice && place == PathClass::kCdDrive);
    case FileUseKind::kDiskImage:
      return kind == FileKind::kRegular;
    case FileUseKind::kSerialOutput:
    case FileUseKind::kFirmwareVariables:
      return kind == FileKind::kRegular || kind == FileKind::kMissing;
  }
  return false;
}

const char* UnfitText(FileUseKind use, FileKind kind) {
  if (kind == FileKind::kMissing) {
    return use == FileUseKind::kCdImage || use == FileUseKind::kDiskImage
               ? "Das Abbild wurde nicht gefunden: '"
               : "Die Datei wurde nicht gefunden: '";
  }
  switch (use) {
    case FileUseKind::kCdImage:
      return "Das CD-Abbild ist weder eine Datei noch ein CD-Laufwerk: '";
    case FileUseKind::kSerialOutput:
      return "Die Ausgabe der seriellen Schnittstelle ist keine gew\xF6hnliche Datei: '";
    case FileUseKind::kDiskImage:
    case FileUseKind::kFirmwareVariables:
      break;
  }
  return "Das Festplatten-Abbild ist keine gew\xF6hnliche Datei: '";
}

// Whether `folder` (resolved, with its trailing separator) may own the
// files in it. The user's own rights on a folder say nothing here: a mail
// program's attachment folder or a USB stick's root is the user's alone,
// and still holds the user's files rather than a machine's.
bool IsMachineFolder(const std::string& folder, const MachinePlace& place, MachineFileHost& host) {
  const char separator = place.separator;
  const auto same = [&](const std::string& other) {
    return other.size() == folder.size() && PathStartsWith(folder, other, separator);
  };
  if (std::any_of(place.userFolders.begin(), place.userFolders.end(), same)) return false;
  if (FolderOfPath(folder.substr(0, folder.size() - 1), separator).empty()) return false;
  // Above a temporary root (the system's root), in one or below one.
  std::vector<std::string> temporary = place.temporaryFolders;
  temporary.push_back(place.temporaryRoot);
  for (const std::string& root : temporary) {
    if (root.empty()) continue;
    if (PathStartsWith(root, folder, separator) || PathStartsWith(folder, root, separator))
      return false;
  }
  return !host.OthersMayWrite(folder) && !host.VolumeRoot(folder);
}

FileAccess Stronger(FileAccess a, FileAccess b) {
  if (a == FileAccess::kRead) return b;
  if (b == FileAccess::kRead) return a;
  // A file both appended to and written in place is written.
  return a == b ? a : FileAccess::kWrite;
}

}  // namespace

std::string OpenShortageText(OpenResult result, long long limit) {
  switch (result) {
    case OpenResult::kTooManyFiles:
      // A long image chain needs a descriptor for each layer, and the
      // hand-over to QEMU as many again.
      return limit > 0 ? "Zu viele Dateien auf einmal ge\xF6"
                         "ffnet: dieses Programm darf h\xF6"
                         "chstens " +
                             std::to_string(limit) +
                             " zugleich offen halten (die Grenze hebt z. B. \"ulimit -n\"); "
                             "gescheitert bei '"
                       : "Zu viele Dateien auf einmal ge\xF6"
                         "ffnet: das System erlaubt keine weitere; gescheitert bei '";
    case OpenResult::kNoMemory:
      return "Zu wenig Speicher, um die Datei zu \xF6"
             "ffnen: '";
    case OpenResult::kOpened:
    case OpenResult::kUnfit:
      break;
  }
  return {};
}

bool NamedLikeTrennwickRun(std::string_view vmxFile, std::string_view temporaryRoot,
                           char separator) {
  if (!PathStartsWith(vmxFile, temporaryRoot, separator)) return false;
  std::string_view rest = vmxFile.substr(temporaryRoot.size());
  if (!PathStartsWith(rest, kRunFolderPrefix, separator)) return false;
  rest.remove_prefix(sizeof kRunFolderPrefix - 1);
  std::size_t end = 0;
  while (end < rest.size() && !IsPathSeparator(rest[end], separator)) ++end;
  if (end == 0 || end == rest.size()) return false;
  const std::string_view name = rest.substr(end + 1);
  return name.size() == sizeof kRunConfigName - 1 &&
         PathStartsWith(name, kRunConfigName, separator);
}

// The plan as the image reader sees it: each name an image holds is placed
// before it is opened, and read only when it may be read now.
// An image inside a larger file (a slice) is read within its bounds; a
// self-contained one may name no further file.
class MachineFilePlan::Images : public ImageFiles {
 public:
  Images(MachineFilePlan& plan, const FileUse& use, std::size_t useNumber)
      : plan_(plan),
        access_(FileAccessOfPlan(use)),
        use_(useNumber),
        sliceOffset_(use.sliceOffset),
        sliceSize_(use.sliceSize),
        selfContained_(use.selfContained) {}

  Opened Open(const std::string& path, ImageLink link, int level, std::size_t* file,
              std::string* resolved) override {
    if (selfContained_ && link != ImageLink::kTop) {
      plan_.Refuse("Eine Festplatte einer Appliance nennt eine weitere Datei: '", path);
      return Opened::kRefused;
    }
    const FileAccess access =
        LayerWritten(level, access_ != FileAccess::kRead) ? access_ : FileAccess::kRead;
    if (!plan_.Place(path, FileUseKind::kDiskImage, access, use_, file)) return Opened::kRefused;
    if (link == ImageLink::kTop) top_ = *file;
    const PlannedFile& planned = plan_.files_[*file];
    *resolved = planned.resolved;
    if (planned.outside && !planned.agreed) return Opened::kNotYet;
    return plan_.OpenNow(*file) ? Opened::kReadable : Opened::kRefused;
  }

  bool ReadAt(std::size_t file, std::uint64_t offset, std::size_t count,
              std::string* bytes) override {
    const bool sliced = Sliced(file);
    return ReadPartAt(plan_.host_, plan_.files_[file].held, sliced ? sliceOffset_ : 0,
                      sliced ? sliceSize_ : 0, offset, count, bytes);
  }

  std::uint64_t Size(std::size_t file) override {
    return Sliced(file) ? sliceSize_ : plan_.host_.Size(plan_.files_[file].held);
  }

 private:
  bool Sliced(std::size_t file) const { return sliceSize_ != 0 && file == top_; }

  MachineFilePlan& plan_;
  const FileAccess access_;
  const std::size_t use_;
  const std::uint64_t sliceOffset_;
  const std::uint64_t sliceSize_;
  const bool selfContained_;
  std::size_t top_ = kNoFile;
};

bool ReadPartAt(MachineFileHost& host, std::size_t held, std::uint64_t sliceOffset,
                std::uint64_t sliceSize, std::uint64_t offset, std::size_t count,
                std::string* bytes) {
  if (sliceSize == 0) return host.ReadAt(held, offset, count, bytes);
  bytes->clear();
  if (offset >= sliceSize) return true;
  const std::uint64_t left = sliceSize - offset;
  return host.ReadAt(held, sliceOffset + offset,
                     left < count ? static_cast<std::size_t>(left) : count, bytes);
}

MachineFilePlan::MachineFilePlan(MachinePlace place, MachineFileHost& host)
    : place_(std::move(place)), host_(host) {}

bool MachineFilePlan::Refuse(const char* text, const std::string& path) {
  if (refusal_.empty()) {
    refusal_ = text;
    refusedPath_ = path;
  }
  return false;
}

void MachineFilePlan::Decide(const std::vector<FileUse>& uses) {
  const char separator = place_.separator;
  if (ClassifyPath(place_.vmxFile, separator) == PathClass::kNetwork ||
      !host_.Resolve(place_.vmxFile, &vmx_)) {
    Refuse("Die Konfiguration liegt an keinem erlaubten Ort: '", place_.vmxFile);
    return;
  }
  folder_ = FolderOfPath(vmx_, separator);
  machineFolder_ = IsMachineFolder(folder_, place_, host_);
  uses_ = uses;
  for (std::size_t use = 0; use < uses_.size(); ++use) {
    std::size_t file = kNoFile;
    if (!Place(uses_[use].path, uses_[use].kind, FileAccessOfPlan(uses_[use]), use, &file)) break;
    fileOfUse_.push_back(file);
  }
  ReadImages();
}

void MachineFilePlan::Agree() {
  for (PlannedFile& file : files_) {
    if (!file.outside || file.agreed) continue;
    file.agreed = true;
    file.agreedAccess = file.access;
    file.agreedWriters = file.writers.size();
  }
  ReadImages();
}

bool MachineFilePlan::AsksUser() const {
  return refusal_.empty() && std::any_of(files_.begin(), files_.end(), [](const PlannedFile& f) {
           return f.outside && !f.agreed;
         });
}

std::vector<const PlannedFile*> MachineFilePlan::FilesToAsk() const {
  std::vector<const PlannedFile*> asked;
  for (const PlannedFile& file : files_) {
    if (file.outside && !file.agreed) asked.push_back(&file);
  }
  return asked;
}

std::size_t MachineFilePlan::AddOwnFile(const FileUse& use) {
  uses_.push_back(use);
  std::size_t file = kNoFile;
  if (Place(use.path, use.kind, use.access, uses_.size() - 1, &file)) {
    // The player makes it beside the .vmx itself, in every folder.
    files_[file].outside = false;
  }
  fileOfUse_.push_back(file);
  return uses_.size() - 1;
}

std::size_t MachineFilePlan::FileOfUse(std::size_t use) const {
  return use < fileOfUse_.size() ? fileOfUse_[use] : kNoFile;
}

const ImageChain* MachineFilePlan::ChainOfUse(std::size_t use) const {
  return use < chains_.size() && !chains_[use].nodes.empty() ? &chains_[use] : nullptr;
}

bool MachineFilePlan::Place(const std::string& path, FileUseKind kind, FileAccess access,
                            std::size_t use, std::size_t* file) {
  if (!refusal_.empty()) return false;
  const char separator = place_.separator;
  const PathClass named = ClassifyPath(path, separator);
  if (named == PathClass::kNetwork || NamesProtocol(path, separator)) {
    return Refuse("Ein Netzwerkpfad ist nicht erlaubt: '", path);
  }
  const bool cdDriveAllowed = kind == FileUseKind::kCdImage;
  if (named == PathClass::kDevice || (named == PathClass::kCdDrive && !cdDriveAllowed)) {
    return Refuse("Ein Ger\xE4te- oder Prozesspfad ist nicht erlaubt: '", path);
  }
  std::string resolved;
  if (!host_.Resolve(path, &resolved)) return Refuse(UnfitText(kind, FileKind::kMissing), path);
  const PathClass place = ClassifyPath(resolved, separator);
  if (place == PathClass::kNetwork) {
    return Refuse("Ein Netzwerkpfad ist nicht erlaubt: '", resolved);
  }
  if (place == PathClass::kDevice || (place == PathClass::kCdDrive && !cdDriveAllowed)) {
    return Refuse("Ein Ger\xE4te- oder Prozesspfad ist nicht erlaubt: '", resolved);
  }
  if (resolved == vmx_) {
    return Refuse("Die Konfiguration selbst kann kein Laufwerk und keine Ausgabe sein: '", path);
  }
  for (std::size_t i = 0; i < files_.size(); ++i) {
    if (files_[i].resolved != resolved) continue;
    *file = i;
    return Need(i, kind, access, use);
  }
  const FileKind fileKind = host_.Kind(resolved);
  if (!KindFits(kind, fileKind, place)) return Refuse(UnfitText(kind, fileKind), path);
  PlannedFile planned;
  planned.resolved = resolved;
  planned.kind = kind;
  planned.access = access;
  planned.fileKind = fileKind;
  planned.outside =
      !place_.trennwickRun && (!machineFolder_ || !LiesInFolder(resolved, folder_, separator));
  files_.push_back(planned);
  *file = files_.size() - 1;
  return Need(*file, kind, access, use);
}

bool MachineFilePlan::Need(std::size_t file, FileUseKind kind, FileAccess access, std::size_t use) {
  PlannedFile& planned = files_[file];
  planned.access = Stronger(planned.access, access);
  if (kind == FileUseKind::kCdImage) planned.cd = true;
  // A CD is handed over read-only; the same file written as a disk or an
  // output would change what the CD's guest reads, or fail.
  if (planned.cd && planned.access != FileAccess::kRead) {
    return Refuse(
        "Eine Datei kann nicht zugleich als CD gelesen und als Festplatte oder Ausgabe "
        "beschrieben werden: '",
        planned.resolved);
  }
  if (access != FileAccess::kRead &&
      std::find(planned.writers.begin(), planned.writers.end(), use) == planned.writers.end()) {
    planned.writers.push_back(use);
  }
  if (planned.agreed && (Stronger(planned.agreedAccess, planned.access) != planned.agreedAccess ||
                         planned.writers.size() > planned.agreedWriters)) {
    planned.agreed = false;
  }
  return true;
}

bool MachineFilePlan::OpenNow(std::size_t file) {
  PlannedFile& planned = files_[file];
  if (planned.held != kNoFile) return true;
  const OpenResult opened = host_.OpenForReading(
      planned.resolved, planned.fileKind == FileKind::kBlockDevice, &planned.held);
  const std::string shortage = OpenShortageText(opened, host_.OpenFileLimit());
  if (!shortage.empty()) return Refuse(shortage.c_str(), planned.resolved);
  if (opened != OpenResult::kOpened) {
    return Refuse(
        "Die Datei kann nicht ge\xF6"
        "ffnet werden oder ist keine gew\xF6hnliche Datei: '",
        planned.resolved);
  }
  // Another name of the same file may lie anywhere: the user decides.
  if (!place_.trennwickRun && !planned.outside && host_.LinkCount(planned.held) > 1) {
    planned.outside = true;
  }
  return true;
}

void MachineFilePlan::ReadImages() {
  chains_.assign(uses_.size(), ImageChain{});
  for (std::size_t use = 0; use < fileOfUse_.size() && refusal_.empty(); ++use) {
    const std::size_t file = fileOfUse_[use];
    switch (uses_[use].kind) {
      case FileUseKind::kDiskImage: {
        Images images(*this, uses_[use], use);
        chains_[use] = ReadImageChain(uses_[use].path, images, place_.separator);
        if (!chains_[use].refusal.empty()) {
          Refuse(chains_[use].refusal.c_str(), chains_[use].refusedName);
        }
        if (!chains_[use].nodes.empty()) {
          chains_[use].nodes[0].sliceOffset = uses_[use].sliceOffset;
          chains_[use].nodes[0].sliceSize = uses_[use].sliceSize;
        }
        break;
      }
      case FileUseKind::kCdImage:
        // Read for its boot catalog once it may be read.
        if (!files_[file].outside || files_[file].agreed) OpenNow(file);
        break;
      case FileUseKind::kSerialOutput:
        // An output that is there already is held like an image: a second
        // name of it may be one of the user's files, and what QEMU gets is
        // the file that was checked.
        if (files_[file].fileKind == FileKind::kRegular &&
            (!files_[file].outside || files_[file].agreed)) {
          OpenNow(file);
        }
        break;
      case FileUseKind::kFirmwareVariables:
        break;
    }
  }
}
