#include "player/cd_machine.h"

#include <optional>

#include "core/config_generation.h"
#include "platform/ascii_case.h"
#include "platform/command_line.h"
#include "platform/directory_services.h"
#include "platform/file_kind.h"
#include "platform/path_names.h"
#include "platform/shown_text.h"
#include "platform/system.h"
#include "player/host/machine_file_access.h"
#include "player/machine_files.h"

namespace {

constexpr char kVmxExtension[] = ".vmx";

// What the configuration names must not depend on the present directory:
// the machine's folder is elsewhere. An absolute name is kept as it is,
// as the launcher keeps the name the user chose.
std::optional<std::string> AbsoluteImagePath(const std::string& image) {
  if (IsAbsolutePath(image, system_facts::kPathSeparator)) return image;
  std::string resolved;
  if (!ResolveFilePath(image, &resolved)) return std::nullopt;
  return resolved;
}

}  // namespace

bool IsVmxFileName(std::string_view name) {
  return EndsWithIgnoringAsciiCase(name, kVmxExtension);
}

CdMachinePlaces SystemCdMachinePlaces() {
  return {PlacesOfProgram(DirectoryPart(ProgramFilePath())).templateDirectory,
          system_facts::kTemporaryRoot, CurrentDateValue()};
}

bool CdMachine::Remove() {
  if (folder_.empty()) return true;
  if (RemoveDirectoryTree(folder_, "", RemoveRecursive) == 0) return false;
  folder_.clear();
  vmxFile_.clear();
  return true;
}

PickedImage LookAtPickedImage(const std::string& image) {
  constexpr char separator = system_facts::kPathSeparator;
  PickedImage picked{image, false};
  std::string target;
  std::string folder;
  const std::string linkFolder = FolderOfPath(image, separator);
  // A dangling link stays as it was named and is refused as missing.
  if (!IsLink(image) || !ResolveFilePath(image, &target) ||
      !ResolveFilePath(linkFolder.empty() ? "." : linkFolder, &folder)) {
    return picked;
  }
  if (!IsPathSeparator(folder.back(), separator)) folder += separator;
  picked.image = target;
  // Whatever is neither a file nor a drive is refused without a question.
  const FileKind kind = KindOfFile(target);
  picked.linkLeadsOut = (kind == FileKind::kRegular || kind == FileKind::kBlockDevice) &&
                        !LiesInFolder(target, folder, separator);
  return picked;
}

std::string LinkedImageQuestion(const std::string& link, const std::string& target) {
  return ShownText("Das CD-Abbild '") + ShownFileName(link) +
         ShownText(
             "' ist ein Verweis auf eine Datei au\xDF"
             "erhalb seines Ordners:\r\r  ") +
         ShownFileName(target) +
         ShownText(
             "\r\rStammt der Verweis nicht von Ihnen, kann er so eine fremde Datei lesen lassen."
             "\rDiese Datei als CD starten?");
}

std::optional<MachineFailure> MakeCdMachine(const std::string& image, const CdMachinePlaces& places,
                                            CdMachine* machine) {
  // The launcher's checks of a chosen image, before anything is made.
  if (const std::optional<MachineFailure> refusal = RefusalOfImage(image, KindOfFile(image))) {
    return refusal;
  }
  const std::optional<std::string> imagePath = AbsoluteImagePath(image);
  if (!imagePath) return MachineFailure::kImageIsNoFile;
  if (!FitsIntoConfig(*imagePath)) return MachineFailure::kImagePathUnusable;

  const MadeMachine made = MakeMachine(*imagePath, TemplateIn(places.templateDirectory),
                                       places.temporaryRoot, FormatInteger(places.now),
                                       [](const std::string& path) { return MakeDirectory(path); });
  machine->folder_ = made.folder;
  if (made.failure) {
    machine->Remove();
    return made.failure;
  }
  machine->vmxFile_ = made.vmxFile;
  return std::nullopt;
}
