// The program: the launch sequence with the real services of this system.
#include <chrono>

#include "core/launch_sequence.h"
#include "platform/command_line.h"
#include "platform/dialogs.h"
#include "platform/directory_services.h"
#include "platform/program_launcher.h"
#include "platform/system.h"
#include "platform/text_utilities.h"

namespace {

class SystemServices final : public LauncherServices {
 public:
  void StartServices() override {
    InitLaunchServices();
    InitDialogServices();
  }
  std::string NextProgramParameter() override { return ::NextProgramParameter(); }
  DateValue CurrentDateValue() override { return ::CurrentDateValue(); }
  std::string ProgramFilePath() override { return ::ProgramFilePath(); }
  std::string TemporaryRoot() override { return system_facts::kTemporaryRoot; }
  ProgramPlaces PlacesOfProgram(const std::string& programDirectory) override {
    return ::PlacesOfProgram(programDirectory);
  }
  bool CanShowDialogs() override { return DialogsCanBeShown(); }
  void WriteErrorOutput(const std::string& text) override { ::WriteErrorOutput(text); }
  std::int32_t ShowMessage(const std::string& title, const std::string& text,
                           std::uint32_t flags) override {
    return ::ShowMessage(title, text, flags);
  }
  std::string ChooseFileToOpen(const std::string& title, const std::string& initialPath,
                               const std::string& filter, std::int32_t filterIndex) override {
    return ::ChooseFileToOpen(title, initialPath, filter, filterIndex);
  }
  std::int32_t MakeDirectory(const std::string& path) override { return ::MakeDirectory(path); }
  std::int32_t RemoveDirectoryTree(const std::string& path, const std::string& pattern,
                                   std::uint32_t flags) override {
    return ::RemoveDirectoryTree(path, pattern, flags);
  }
  std::intptr_t LaunchProgram(const std::string& program, const std::string& parameters,
                              const std::string& directory, std::uint32_t flags) override {
    return ::LaunchProgram(program, parameters, directory, flags);
  }
  void Pause(std::uint32_t milliseconds) override { ::Pause(milliseconds); }
  std::int64_t ElapsedMilliseconds() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  FileKind KindOfFile(const std::string& path) override { return ::KindOfFile(path); }
};

}  // namespace

int main() {
  SystemServices services;
  return LauncherMain(services);
}
