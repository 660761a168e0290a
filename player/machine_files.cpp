#include "player/machine_files.h"

#include <algorithm>

#include "platform/ascii_case.h"
#include "platform/path_names.h"
#include "platform/trennwick_run.h"

namespace {

bool StartsWith(std::string_view text, std::string_view start, char separator) {
  if (text.size() < start.size()) return false;
  for (std::size_t i = 0; i < start.size(); ++i) {
    char a = text[i];
    char b = start[i];
    if (separator == '\\') {
      a = a == '/' ? '\\' : LowerAsciiChar(a);
      b = b == '/' ? '\\' : LowerAsciiChar(b);
    }
    if (a != b) return false;
  }
  return true;
}

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9 (with any extension) name devices in
// every folder.
bool IsDosDeviceName(std::string_view path) {
  const std::size_t last = path.find_last_of("\\/:");
  std::string name(path.substr(last == std::string_view::npos ? 0 : last + 1));
  name = LowerAscii(name.substr(0, name.find('.')));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  if (name == "con" || name == "prn" || name == "aux" || name == "nul" || name == "conin$" ||
      name == "conout$") {
    return true;
  }
  return name.size() == 4 && (name.rfind("com", 0) == 0 || name.rfind("lpt", 0) == 0) &&
         name[3] >= '1' && name[3] <= '9';
}

PathClass ClassifyWindowsPath(std::string_view path) {
  if (StartsWith(path, "\\\\.\\", '\\')) {
    const std::string_view device = path.substr(4);
    const bool driveLetter = device.size() == 2 && device[1] == ':' && IsAsciiLetter(device[0]);
    const bool cdRom =
        StartsWith(device, "cdrom", '\\') && device.size() > 5 && AllDigits(device.substr(5));
    return driveLetter || cdRom ? PathClass::kCdDrive : PathClass::kDevice;
  }
  if (StartsWith(path, "\\\\?\\", '\\')) return PathClass::kDevice;
  if (StartsWith(path, "\\\\", '\\')) return PathClass::kNetwork;
  return IsDosDeviceName(path) ? PathClass::kDevice : PathClass::kOrdinary;
}

bool InSystemFolder(std::string_view path, std::string_view folder) {
  return path == folder || (path.size() > folder.size() &&
                            path.substr(0, folder.size()) == folder && path[folder.size()] == '/');
}

PathClass ClassifyPosixPath(std::string_view path) {
  if (path.size() >= 2 && path[0] == '/' && path[1] == '/') return PathClass::kNetwork;
  if (InSystemFolder(path, "/dev")) {
    const std::string_view name = path.substr(std::min<std::size_t>(path.size(), 5));
    if ((name.rfind("sr", 0) == 0 && name.size() > 2 && AllDigits(name.substr(2))) ||
        (name.rfind("cdrom", 0) == 0 && AllDigits(name.substr(5)))) {
      return PathClass::kCdDrive;
    }
    return PathClass::kDevice;
  }
  if (InSystemFolder(path, "/proc") || InSystemFolder(path, "/sys")) return PathClass::kDevice;
  return PathClass::kOrdinary;
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

FileAccess Stronger(FileAccess a, FileAccess b) {
  if (a == FileAccess::kRead) return b;
  if (b == FileAccess::kRead) return a;
  // A file both appended to and written in place is written.
  return a == b ? a : FileAccess::kWrite;
}

}  // namespace

PathClass ClassifyPath(std::string_view path, char separator) {
  return separator == '\\' ? ClassifyWindowsPath(path) : ClassifyPosixPath(path);
}

bool LiesInFolder(std::string_view path, std::string_view folder, char separator) {
  if (folder.empty() || !IsPathSeparator(folder.back(), separator)) return false;
  return path.size() > folder.size() && StartsWith(path, folder, separator);
}

bool NamedLikeTrennwickRun(std::string_view vmxFile, std::string_view temporaryRoot,
                           char separator) {
  if (!StartsWith(vmxFile, temporaryRoot, separator)) return false;
  std::string_view rest = vmxFile.substr(temporaryRoot.size());
  if (!StartsWith(rest, kRunFolderPrefix, separator)) return false;
  rest.remove_prefix(sizeof kRunFolderPrefix - 1);
  std::size_t end = 0;
  while (end < rest.size() && !IsPathSeparator(rest[end], separator)) ++end;
  if (end == 0 || end == rest.size()) return false;
  const std::string_view name = rest.substr(end + 1);
  return name.size() == sizeof kRunConfigName - 1 && StartsWith(name, kRunConfigName, separator);
}

// The plan as the image reader sees it: each name an image holds is placed
// before it is opened, and read only when it may be read now.
class MachineFilePlan::Images : public ImageFiles {
 public:
  Images(MachineFilePlan& plan, FileAccess access) : plan_(plan), access_(access) {}

  Opened Open(const std::string& path, ImageLink /*link*/, int level, std::size_t* file,
              std::string* resolved) override {
    const FileAccess access =
        LayerWritten(level, access_ != FileAccess::kRead) ? access_ : FileAccess::kRead;
    if (!plan_.Place(path, FileUseKind::kDiskImage, access, file)) return Opened::kRefused;
    const PlannedFile& planned = plan_.files_[*file];
    *resolved = planned.resolved;
    if (planned.outside && !planned.agreed) return Opened::kNotYet;
    return plan_.OpenNow(*file) ? Opened::kReadable : Opened::kRefused;
  }

  bool ReadAt(std::size_t file, std::uint64_t offset, std::size_t count,
              std::string* bytes) override {
    return plan_.host_.ReadAt(plan_.files_[file].held, offset, count, bytes);
  }

  std::uint64_t Size(std::size_t file) override {
    return plan_.host_.Size(plan_.files_[file].held);
  }

 private:
  MachineFilePlan& plan_;
  const FileAccess access_;
};

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
  const bool listed = std::any_of(
      place_.userFolders.begin(), place_.userFolders.end(), [&](const std::string& folder) {
        return folder.size() == folder_.size() && StartsWith(folder_, folder, separator);
      });
  const bool root = FolderOfPath(folder_.substr(0, folder_.size() - 1), separator).empty();
  machineFolder_ = !listed && !root && !StartsWith(place_.temporaryRoot, folder_, separator) &&
                   !host_.OthersMayWrite(folder_);
  uses_ = uses;
  for (const FileUse& use : uses_) {
    std::size_t file = kNoFile;
    if (!Place(use.path, use.kind, use.access, &file)) break;
    fileOfUse_.push_back(file);
  }
  ReadImages();
}

void MachineFilePlan::Agree() {
  for (PlannedFile& file : files_) {
    if (file.outside) file.agreed = true;
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

void MachineFilePlan::AddOwnFile(const FileUse& use) {
  uses_.push_back(use);
  std::size_t file = kNoFile;
  if (Place(use.path, use.kind, use.access, &file)) {
    // The player makes it beside the .vmx itself, in every folder.
    files_[file].outside = false;
  }
  fileOfUse_.push_back(file);
}

std::size_t MachineFilePlan::FileOfUse(std::size_t use) const {
  return use < fileOfUse_.size() ? fileOfUse_[use] : kNoFile;
}

const ImageChain* MachineFilePlan::ChainOfUse(std::size_t use) const {
  return use < chains_.size() && !chains_[use].nodes.empty() ? &chains_[use] : nullptr;
}

bool MachineFilePlan::Place(const std::string& path, FileUseKind kind, FileAccess access,
                            std::size_t* file) {
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
    files_[i].access = Stronger(files_[i].access, access);
    *file = i;
    return true;
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
  return true;
}

bool MachineFilePlan::OpenNow(std::size_t file) {
  PlannedFile& planned = files_[file];
  if (planned.held != kNoFile) return true;
  if (!host_.OpenForReading(planned.resolved, planned.fileKind == FileKind::kBlockDevice,
                            &planned.held)) {
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
        Images images(*this, uses_[use].access);
        chains_[use] = ReadImageChain(uses_[use].path, images, place_.separator);
        if (!chains_[use].refusal.empty()) {
          Refuse(chains_[use].refusal.c_str(), chains_[use].refusedName);
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
