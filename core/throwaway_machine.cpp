#include "core/throwaway_machine.h"

#include "core/config_generation.h"
#include "core/run_folder.h"
#include "platform/file_channels.h"
#include "platform/shown_text.h"
#include "platform/trennwick_run.h"

namespace {

constexpr ChannelId kConfigWriteChannel = 2;

// The configuration and one CR LF, in a file that holds nothing else.
bool WriteConfig(const std::string& configPath, const std::string& config) {
  if (CreateEmptyChannel(kConfigWriteChannel, configPath) == 0) return false;
  WriteTextLine(kConfigWriteChannel, config);
  return CloseChannel(kConfigWriteChannel) != 0;
}

}  // namespace

MachineTemplate TemplateIn(const std::string& templateDirectory) {
  const std::string path = templateDirectory + kTemplateFileName;
  return {path, QueryFileSize(path) == -1};
}

std::optional<MachineFailure> RefusalOfImage(const std::string& imagePath, FileKind kind) {
  if (kind != FileKind::kRegular && kind != FileKind::kBlockDevice) {
    return MachineFailure::kImageIsNoFile;
  }
  if (!FitsIntoConfig(imagePath)) return MachineFailure::kImagePathUnusable;
  return std::nullopt;
}

MadeMachine MakeMachine(const std::string& imagePath, const MachineTemplate& from,
                        const std::string& temporaryRoot, const std::string& stamp,
                        const std::function<std::int32_t(const std::string&)>& makeDirectory) {
  const std::optional<std::string> config =
      from.builtIn ? GenerateDefaultConfig(imagePath) : GenerateConfig(from.path, imagePath);
  if (!config) return {MachineFailure::kTemplateUnreadable, "", ""};
  const std::optional<std::string> folder = MakeRunFolder(temporaryRoot, stamp, makeDirectory);
  if (!folder) return {MachineFailure::kNoFolder, "", ""};
  const std::string vmxFile = *folder + kRunConfigName;
  if (!WriteConfig(vmxFile, *config)) return {MachineFailure::kConfigNotWritten, *folder, ""};
  return {std::nullopt, *folder, vmxFile};
}

std::string MachineFailureText(MachineFailure failure, const std::string& imagePath,
                               const std::string& templatePath) {
  switch (failure) {
    case MachineFailure::kImageIsNoFile:
      return ShownText("Das ISO-Image kann nicht verwendet werden: '") + ShownFileName(imagePath) +
             ShownText("'.\rEs muss eine vorhandene Datei oder ein CD-Laufwerk sein.");
    case MachineFailure::kImagePathUnusable:
      return ShownText(
                 "Der Pfad des ISO-Images kann nicht in die Konfig \xFC"
                 "bernommen werden: '") +
             ShownFileName(imagePath) +
             ShownText("'.\rEr darf keine Anf\xFChrungszeichen und keine Steuerzeichen enthalten.");
    case MachineFailure::kTemplateUnreadable:
      return ShownText("Kann die VM-Ware-Datei nicht lesen: '") + ShownFileName(templatePath) +
             ShownText("'.");
    case MachineFailure::kNoFolder:
      return ShownText("Kann Tempdir nicht erstellen");
    case MachineFailure::kConfigNotWritten:
      return ShownText("Kann die neue Konfig nicht schreiben");
  }
  return "";
}

std::string FolderStaysText(const std::string& folder) {
  return ShownText("Kann das tempor\xE4re Verzeichnis nicht l\xF6schen: '") +
         ShownFileName(folder) + ShownText("'.");
}
