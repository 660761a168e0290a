#include "player/machine_files.h"

#include <algorithm>

#include "player/host/machine_file_access.h"
#include "player/image_parts.h"

namespace {

constexpr char kRunFolderPrefix[] = "trennwick_temp_";
constexpr char kRunFileName[] = "trennwick.vmx";
// qemu-img's report of a long chain stays far below this; more is no report.
constexpr std::size_t kMaximumReportBytes = 1 << 20;
constexpr std::size_t kMaximumDescriptorBytes = 64 * 1024;
// Where qcow2 and vmdk keep the names they hold: the header's first cluster.
constexpr std::size_t kImageStartBytes = 64 * 1024;

bool IsSeparator(char c, char separator) {
  return c == separator || c == '/';
}

char Folded(char c, char separator) {
  if (separator != '\\') return c;
  if (c == '/') return '\\';
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWith(std::string_view text, std::string_view start, char separator) {
  if (text.size() < start.size()) return false;
  for (std::size_t i = 0; i < start.size(); ++i) {
    if (Folded(text[i], separator) != Folded(start[i], separator)) return false;
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
  name = name.substr(0, name.find('.'));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  for (char& c : name) c = Folded(c, '\\');
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
    const bool driveLetter =
        device.size() == 2 && device[1] == ':' &&
        ((device[0] >= 'a' && device[0] <= 'z') || (device[0] >= 'A' && device[0] <= 'Z'));
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

std::string FolderOf(const std::string& path, char separator) {
  std::size_t last = path.size();
  while (last > 0 && !IsSeparator(path[last - 1], separator)) --last;
  return path.substr(0, last);
}

std::string JoinedInFolder(const std::string& name, const std::string& folder, char separator) {
  const bool absolute = (!name.empty() && IsSeparator(name.front(), separator)) ||
                        (separator == '\\' && name.size() >= 2 && name[1] == ':');
  return absolute ? name : folder + name;
}

bool KindFits(FileUseKind use, FileKind kind, PathClass place) {
  switch (use) {
    case FileUseKind::kCdImage:
      return kind == FileKind::kRegular ||
             (kind == FileKind::kBlockDevice && place == PathClass::kCdDrive);
    case FileUseKind::kDiskImage:
    case FileUseKind::kImagePart:
      return kind == FileKind::kRegular;
    case FileUseKind::kSerialOutput:
    case FileUseKind::kFirmwareVariables:
      return kind == FileKind::kRegular || kind == FileKind::kMissing;
    case FileUseKind::kTpmStateFolder:
      return kind == FileKind::kDirectory || kind == FileKind::kMissing;
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
    case FileUseKind::kTpmStateFolder:
      return "Der Ordner des TPM-Zustands ist kein Ordner: '";
    case FileUseKind::kDiskImage:
    case FileUseKind::kImagePart:
    case FileUseKind::kFirmwareVariables:
      break;
  }
  return "Das Festplatten-Abbild ist keine gew\xF6hnliche Datei: '";
}

// The format QEMU is told for a disk, from its -drive argument.
std::string DriveFormat(const std::string& argument) {
  for (const char* format : {"vmdk", "qcow2"}) {
    const std::string option = std::string(",format=") + format;
    const std::size_t found = argument.find(option);
    if (found != std::string::npos &&
        (found + option.size() == argument.size() || argument[found + option.size()] == ','))
      return format;
  }
  return {};
}

class Planner {
 public:
  Planner(const std::string& temporaryRoot, char separator, MachineFileHost& host)
      : temporaryRoot_(temporaryRoot), separator_(separator), host_(host) {}

  MachineFilePlan Plan(const std::vector<FileUse>& uses, const std::string& vmxFile,
                       const std::vector<std::string>& arguments) {
    std::string resolvedVmx;
    if (ClassifyPath(vmxFile, separator_) == PathClass::kNetwork ||
        !host_.Resolve(vmxFile, &resolvedVmx)) {
      return Refused("Die Konfiguration liegt an keinem erlaubten Ort: '", vmxFile);
    }
    folder_ = FolderOf(resolvedVmx, separator_);
    ownRun_ = NamedLikeTrennwickRun(resolvedVmx, temporaryRoot_, separator_) &&
              host_.PrivateToUser(folder_.substr(0, folder_.size() - 1)) &&
              host_.PrivateToUser(resolvedVmx);
    for (std::size_t i = 0; i < uses.size() && plan_.refusal.empty(); ++i) {
      PlacedFile placed;
      placed.use = uses[i];
      placed.useIndex = i;
      if (!Place(placed)) break;
      const std::string format =
          uses[i].kind == FileUseKind::kDiskImage && uses[i].argument < arguments.size()
              ? DriveFormat(arguments[uses[i].argument])
              : std::string();
      if (format.empty()) {
        plan_.files.push_back(placed);
      } else {
        PlaceImage(placed, format);
      }
    }
    if (!plan_.refusal.empty()) plan_.files.clear();
    return plan_;
  }

 private:
  MachineFilePlan Refused(const char* text, const std::string& path) {
    if (plan_.refusal.empty()) {
      plan_.refusal = text;
      plan_.refusedPath = path;
    }
    return plan_;
  }

  bool Refuse(const char* text, const std::string& path) {
    Refused(text, path);
    return false;
  }

  // Resolves the file and judges its place and kind; false after a refusal.
  bool Place(PlacedFile& placed) {
    const std::string& path = placed.use.path;
    const PathClass named = ClassifyPath(path, separator_);
    if (named == PathClass::kNetwork || HasProtocolPrefix(path)) {
      return Refuse("Ein Netzwerkpfad ist nicht erlaubt: '", path);
    }
    const bool cdDriveAllowed = placed.use.kind == FileUseKind::kCdImage;
    if (named == PathClass::kDevice || (named == PathClass::kCdDrive && !cdDriveAllowed)) {
      return Refuse("Ein Ger\xE4te- oder Prozesspfad ist nicht erlaubt: '", path);
    }
    if (!host_.Resolve(path, &placed.resolved)) {
      return Refuse(UnfitText(placed.use.kind, FileKind::kMissing), path);
    }
    const PathClass place = ClassifyPath(placed.resolved, separator_);
    if (place == PathClass::kNetwork) {
      return Refuse("Ein Netzwerkpfad ist nicht erlaubt: '", placed.resolved);
    }
    if (place == PathClass::kDevice || (place == PathClass::kCdDrive && !cdDriveAllowed)) {
      return Refuse("Ein Ger\xE4te- oder Prozesspfad ist nicht erlaubt: '", placed.resolved);
    }
    const FileKind kind = host_.Kind(placed.resolved);
    if (!KindFits(placed.use.kind, kind, place)) {
      return Refuse(UnfitText(placed.use.kind, kind), path);
    }
    placed.outside = !ownRun_ && !LiesInFolder(placed.resolved, folder_, separator_);
    return true;
  }

  // What the header names is placed before qemu-img opens it: qemu-img
  // itself must not reach a network path, a device or a FIFO.
  bool PlaceHeaderNames(const PlacedFile& image, const std::string& format) {
    std::string start;
    std::optional<std::vector<std::string>> names;
    if (host_.ReadImageStart(image.resolved, &start)) names = NamesInImageStart(start, format);
    if (!names) return Refuse("Das Abbild kann nicht gelesen werden: '", image.use.path);
    for (const std::string& name : *names) {
      PlacedFile placed;
      placed.use = {JoinedInFolder(name, FolderOf(image.resolved, separator_), separator_),
                    FileAccess::kRead, FileUseKind::kImagePart, kNoArgument};
      if (!Place(placed)) return false;
    }
    return true;
  }

  void PlaceImage(PlacedFile& image, const std::string& format) {
    if (!PlaceHeaderNames(image, format)) return;
    std::string report;
    switch (host_.ReportImage(image.resolved, format, &report)) {
      case MachineFileHost::ImageReport::kRead:
        break;
      case MachineFileHost::ImageReport::kNoTool:
        Refuse(
            "Das Abbild kann andere Dateien nennen und wird deshalb vorher mit qemu-img "
            "gepr\xFC"
            "ft; qemu-img fehlt (Paket \"qemu-utils\" bzw. qemu-img.exe neben QEMU): '",
            image.use.path);
        return;
      case MachineFileHost::ImageReport::kFailed:
        Refuse("Das Abbild kann nicht gelesen werden: '", image.use.path);
        return;
    }
    const std::optional<ImageLayout> layout = ReadImageLayout(report, image.resolved, separator_);
    if (!layout) {
      Refuse("Das Abbild kann nicht gelesen werden: '", image.use.path);
      return;
    }
    if (layout->monolithicFlat) {
      PlaceFlatExtent(image);
      return;
    }
    plan_.files.push_back(image);
    for (const ImagePart& part : layout->parts) {
      PlacedFile placed;
      placed.use = {part.path, part.written ? FileAccess::kWrite : FileAccess::kRead,
                    FileUseKind::kImagePart, kNoArgument};
      if (!Place(placed)) return;
      // QEMU opens these by the names the image holds; only the machine's
      // own files may be named so.
      if (placed.outside) {
        Refuse(
            "Das Abbild verweist auf eine Datei au\xDF"
            "erhalb des Ordners der Maschine: '",
            placed.resolved);
        return;
      }
      plan_.files.push_back(placed);
    }
  }

  // The descriptor is read here and never by QEMU: the disk becomes the
  // extent itself, as a raw disk.
  void PlaceFlatExtent(const PlacedFile& descriptor) {
    std::string text;
    std::optional<FlatExtent> extent;
    if (host_.ReadDescriptor(descriptor.resolved, &text)) extent = ReadFlatExtent(text);
    if (!extent) {
      Refuse("Das Abbild kann nicht gelesen werden: '", descriptor.use.path);
      return;
    }
    PlacedFile placed = descriptor;
    placed.use.path =
        JoinedInFolder(extent->file, FolderOf(descriptor.resolved, separator_), separator_);
    placed.use.access = extent->written ? FileAccess::kWrite : FileAccess::kRead;
    if (!Place(placed)) return;
    placed.driveOptions = "format=raw";
    if (extent->offset != 0) placed.driveOptions += ",offset=" + std::to_string(extent->offset);
    placed.driveOptions += ",size=" + std::to_string(extent->size);
    if (!extent->written) placed.driveOptions += ",readonly=on";
    plan_.files.push_back(placed);
  }

  const std::string& temporaryRoot_;
  const char separator_;
  MachineFileHost& host_;
  std::string folder_;
  bool ownRun_ = false;
  MachineFilePlan plan_;
};

// Replaces the option `key`=`old` (escaped, a whole option of the list)
// in `argument` by `replacement`; false when it is not there.
bool ReplaceOption(std::string& argument, const std::string& old, const std::string& replacement) {
  std::size_t at = 0;
  while ((at = argument.find(old, at)) != std::string::npos) {
    const bool starts = at == 0 || argument[at - 1] == ',';
    const std::size_t end = at + old.size();
    // A doubled comma belongs to the value: the option ends at a single one.
    const bool ends =
        end == argument.size() ||
        (argument[end] == ',' && (end + 1 == argument.size() || argument[end + 1] != ','));
    if (starts && ends) {
      argument.replace(at, old.size(), replacement);
      return true;
    }
    ++at;
  }
  return false;
}

}  // namespace

PathClass ClassifyPath(std::string_view path, char separator) {
  return separator == '\\' ? ClassifyWindowsPath(path) : ClassifyPosixPath(path);
}

bool LiesInFolder(std::string_view path, std::string_view folder, char separator) {
  if (folder.empty() || !IsSeparator(folder.back(), separator)) return false;
  return path.size() > folder.size() && StartsWith(path, folder, separator);
}

bool NamedLikeTrennwickRun(std::string_view vmxFile, std::string_view temporaryRoot,
                           char separator) {
  if (!StartsWith(vmxFile, temporaryRoot, separator)) return false;
  std::string_view rest = vmxFile.substr(temporaryRoot.size());
  if (!StartsWith(rest, kRunFolderPrefix, separator)) return false;
  rest.remove_prefix(sizeof kRunFolderPrefix - 1);
  std::size_t end = 0;
  while (end < rest.size() && !IsSeparator(rest[end], separator)) ++end;
  if (end == 0 || end == rest.size()) return false;
  const std::string_view name = rest.substr(end + 1);
  return name.size() == sizeof kRunFileName - 1 && StartsWith(name, kRunFileName, separator);
}

bool MachineFilePlan::AsksUser() const {
  return std::any_of(files.begin(), files.end(), [](const PlacedFile& f) { return f.outside; });
}

MachineFilePlan PlanMachineFiles(const QemuInvocation& invocation, const std::string& vmxFile,
                                 const std::string& temporaryRoot, char separator,
                                 MachineFileHost& host) {
  return Planner(temporaryRoot, separator, host)
      .Plan(invocation.uses, vmxFile, invocation.arguments);
}

std::vector<std::string> PlannedArguments(const QemuInvocation& invocation,
                                          const MachineFilePlan& plan,
                                          const std::vector<HandedFile>& handed) {
  std::vector<std::string> arguments;
  std::vector<std::string> names(plan.files.size());
  int set = 0;
  for (const HandedFile& file : handed) {
    if (file.file >= names.size()) continue;
    ++set;
    for (int descriptor : file.descriptors) {
      arguments.insert(arguments.end(), {"-add-fd", "fd=" + std::to_string(descriptor) +
                                                        ",set=" + std::to_string(set)});
    }
    names[file.file] = "/dev/fdset/" + std::to_string(set);
  }
  std::vector<std::string> mapped = invocation.arguments;
  for (std::size_t i = 0; i < plan.files.size(); ++i) {
    const PlacedFile& file = plan.files[i];
    if (file.useIndex >= invocation.uses.size()) continue;
    const FileUse& use = invocation.uses[file.useIndex];
    if (use.argument >= mapped.size()) continue;
    const std::string key = use.kind == FileUseKind::kSerialOutput ? "path=" : "file=";
    const std::string& name = !names[i].empty() ? names[i] : file.use.path;
    ReplaceOption(mapped[use.argument], key + EscapeQemuOptionValue(use.path),
                  key + EscapeQemuOptionValue(name));
    if (!file.driveOptions.empty()) {
      ReplaceOption(mapped[use.argument], "format=vmdk", file.driveOptions);
    }
  }
  arguments.insert(arguments.end(), mapped.begin(), mapped.end());
  return arguments;
}

bool SystemMachineFiles::Resolve(const std::string& path, std::string* resolved) {
  return ResolveFilePath(path, resolved);
}

FileKind SystemMachineFiles::Kind(const std::string& resolved) {
  return KindOfFile(resolved);
}

bool SystemMachineFiles::PrivateToUser(const std::string& resolved) {
  return PrivateToCurrentUser(resolved);
}

MachineFileHost::ImageReport SystemMachineFiles::ReportImage(const std::string& resolved,
                                                             const std::string& format,
                                                             std::string* report) {
  if (qemuImg_.empty()) return ImageReport::kNoTool;
  std::int32_t exitCode = 0;
  // -U: a machine that runs already holds its image locked; only reading.
  if (!CaptureProgramOutput(
          qemuImg_, {"info", "--output=json", "--backing-chain", "-U", "-f", format, resolved},
          kMaximumReportBytes, report, &exitCode) ||
      exitCode != 0) {
    return ImageReport::kFailed;
  }
  return ImageReport::kRead;
}

bool SystemMachineFiles::ReadDescriptor(const std::string& resolved, std::string* text) {
  return ReadSmallFile(resolved, kMaximumDescriptorBytes, text) == SmallFileResult::kRead;
}

bool SystemMachineFiles::ReadImageStart(const std::string& resolved, std::string* bytes) {
  return ReadFileStart(resolved, kImageStartBytes, bytes);
}
