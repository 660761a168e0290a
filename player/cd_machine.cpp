#include "player/cd_machine.h"

#include <optional>

#include "core/config_generation.h"
#include "core/run_folder.h"
#include "platform/ascii_case.h"
#include "platform/command_line.h"
#include "platform/directory_services.h"
#include "platform/file_channels.h"
#include "platform/file_kind.h"
#include "platform/path_names.h"
#include "platform/shown_text.h"
#include "platform/system.h"
#include "platform/trennwick_run.h"
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

// The file as the launcher writes it: the configuration and one CR LF.
bool WriteConfig(const std::string& path, const std::string& config) {
  const ChannelId channel = CreateEmptyChannel(kNewUnnumberedChannel, path);
  if (channel == 0) return false;
  WriteTextLine(channel, config);
  return CloseChannel(channel) != 0;
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

CdMachineResult MakeCdMachine(const std::string& image, const CdMachinePlaces& places,
                              CdMachine* machine) {
  // The launcher's checks of a chosen image, before anything is made.
  if (!FitsIntoConfig(image)) return CdMachineResult::kImagePathUnusable;
  const FileKind kind = KindOfFile(image);
  if (kind != FileKind::kRegular && kind != FileKind::kBlockDevice) {
    return CdMachineResult::kImageIsNoFile;
  }
  const std::optional<std::string> imagePath = AbsoluteImagePath(image);
  if (!imagePath) return CdMachineResult::kImageIsNoFile;
  if (!FitsIntoConfig(*imagePath)) return CdMachineResult::kImagePathUnusable;

  // Only a template that is not there at all gives way to the built-in
  // one; anything else of that name must be read, as the launcher does.
  const std::string templatePath = places.templateDirectory + kTemplateFileName;
  const std::optional<std::string> config = QueryFileSize(templatePath) == -1
                                                ? GenerateDefaultConfig(*imagePath)
                                                : GenerateConfig(templatePath, *imagePath);
  if (!config) return CdMachineResult::kTemplateUnreadable;

  const std::optional<std::string> folder =
      MakeRunFolder(places.temporaryRoot, FormatInteger(places.now),
                    [](const std::string& path) { return MakeDirectory(path); });
  if (!folder) return CdMachineResult::kNoFolder;
  machine->folder_ = *folder;
  machine->vmxFile_ = *folder + kRunConfigName;
  if (!WriteConfig(machine->vmxFile_, *config)) {
    machine->Remove();
    return CdMachineResult::kConfigNotWritten;
  }
  return CdMachineResult::kMade;
}

std::string CdMachineFailureText(CdMachineResult result, const std::string& image,
                                 const CdMachinePlaces& places) {
  switch (result) {
    case CdMachineResult::kMade:
      break;
    case CdMachineResult::kImageIsNoFile:
      return ShownText("Das ISO-Image kann nicht verwendet werden: '") + ShownFileName(image) +
             ShownText("'.\rEs muss eine vorhandene Datei oder ein CD-Laufwerk sein.");
    case CdMachineResult::kImagePathUnusable:
      return ShownText(
                 "Der Pfad des ISO-Images kann nicht in die Konfig \xFC"
                 "bernommen werden: '") +
             ShownFileName(image) +
             ShownText("'.\rEr darf keine Anf\xFChrungszeichen und keine Steuerzeichen enthalten.");
    case CdMachineResult::kTemplateUnreadable:
      return ShownText("Kann die VM-Ware-Datei nicht lesen: '") +
             ShownFileName(places.templateDirectory + kTemplateFileName) + ShownText("'.");
    case CdMachineResult::kNoFolder:
      return ShownText("Kann Tempdir nicht erstellen in '") + ShownFileName(places.temporaryRoot) +
             ShownText("'.");
    case CdMachineResult::kConfigNotWritten:
      return ShownText("Kann die neue Konfig nicht schreiben");
  }
  return "";
}

std::string CdMachineFolderStaysText(const std::string& folder) {
  return ShownText("Kann das tempor\xE4re Verzeichnis nicht l\xF6schen: '") +
         ShownFileName(folder) + ShownText("'.");
}
