#include "player/cd_machine.h"

#include <optional>

#include "core/config_generation.h"
#include "platform/ascii_case.h"
#include "platform/command_line.h"
#include "platform/directory_services.h"
#include "platform/file_kind.h"
#include "platform/path_names.h"
#include "platform/system.h"
#include "player/host/machine_file_access.h"

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
