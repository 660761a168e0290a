#include "core/launch_sequence.h"

#include <optional>
#include <string>
#include <string_view>

#include "core/default_template.h"
#include "core/throwaway_machine.h"
#include "platform/command_line.h"
#include "platform/directory_services.h"
#include "platform/file_channels.h"
#include "platform/program_launcher.h"
#include "platform/shown_text.h"
#include "platform/system.h"
#include "platform/text_utilities.h"
#include "platform/trennwick_run.h"

namespace {

constexpr ChannelId kTemplateWriteChannel = 3;

constexpr std::uint32_t kOneOkButton = 0;
constexpr std::uint32_t kYesNoButtons = 4;
constexpr std::int32_t kAnsweredNo = 7;

constexpr std::string_view kHelpSwitches[] = {"--help", "-h", "/h", "-?", "/?"};

// Whose lock it is cannot be read, so a lock that nobody has touched for
// this long counts as left behind and no longer holds the run.
constexpr std::int64_t kStaleLockMilliseconds = 10 * 60 * 1000;
constexpr std::uint32_t kLockLookInterval = 1000;

constexpr char kErrorTitle[] = "Fehler";
constexpr char kInfoTitle[] = "Info";
constexpr char kHelpTitle[] = "Trennwick f\xFCr VMWARE  --> Info";
constexpr char kChooserTitle[] = "Trennwick f\xFCr VMWARE  -->  ISO-Image ausw\xE4hlen";
constexpr char kImageFilter[] = "ISO-Image (*.iso)|*.iso|Alle Dateien (*.*)|*.*";

// Line breaks inside a box text are single carriage returns.
constexpr char kHelpText[] =
    "Trennwick f\xFCr VMWare\r"
    "Version 1 vom 26.2.2008\r"
    "\r"
    "L\xE4sst beim Starten eine ISO-Datei (Abbild einer CD oder DVD) ausw\xE4hlen und erstellt "
    "ein tempor\xE4res\r"
    "Verzeichnis mit einer VMWare-Konfigdatei. Mit dieser wird dann von dem ISO-File gebootet. \r"
    "Das Tempor\xE4re Verzeichnis wird nach Beenden der VMware-Session automatisch wieder "
    "gel\xF6scht.\r"
    "\r"
    "Die beiliegende Template-Datei kann an eigene Bed\xFCrfnisse angepasst werden. Fehlt sie, "
    "wird sie automatisch erstellt.\r"
    "\r"
    "Freeware. Benutzung auf eigene Gefahr\r"
    "Updates und Infos auf " TRENNWICK_WEB_ADDRESS "\r";

constexpr char kNoFileChosen[] = "Keine Datei ausgew\xE4hlt. Programm wird beendet.";
constexpr char kNoDisplay[] =
    "Trennwick kann kein Fenster zeigen: Es ist keine Anzeige gesetzt (DISPLAY, "
    "WAYLAND_DISPLAY), oder sie l\xE4sst sich nicht \xF6"
    "ffnen.\r"
    "Bitte in einer Desktop-Sitzung starten.";

// The texts that name a path are display texts: the program's own words
// converted, the path shown as the file system holds it.
std::string TemplateQuestion(const std::string& templatePath) {
  return ShownText("Das Templatefile wurde im Arbeitsverzeichnis nicht gefunden:\r") +
         ShownFileName(templatePath) +
         ShownText(
             "\rEs wurde neu erstellt und kann ggf. angepasst werden.\r"
             "Soll nun mit der Standardkonfig fortgefahren werden?");
}

std::string TemplateNotWritten(const std::string& templatePath) {
  return ShownText("Das Templatefile konnte nicht angelegt werden:\r") +
         ShownFileName(templatePath) +
         ShownText("\rSoll mit der eingebauten Standardkonfig fortgefahren werden?");
}

std::string ConfigCannotBeOpened(const std::string& configPath) {
  return ShownText(
             "Kann die Konfiguration nicht \xF6"
             "ffnen: '") +
         ShownFileName(configPath) +
         ShownText("'.\rDazu wird ein Programm f\xFCr .vmx-Dateien (VMware Player) ben\xF6tigt.");
}

void ShowError(LauncherServices& services, const std::string& shownText) {
  services.ShowMessage(ShownText(kErrorTitle), shownText, kOneOkButton);
}

bool IsHelpSwitch(const std::string& parameter) {
  for (std::string_view helpSwitch : kHelpSwitches) {
    if (TextEquals(parameter, helpSwitch)) return true;
  }
  return false;
}

// Writes the built-in template as the template file; true when all of it
// reached the file. A file whose writing failed is deleted again, so that
// no truncated template is ever left to spoil later runs.
bool WriteDefaultTemplate(const std::string& templatePath, const std::string& templateText) {
  if (CreateChannel(kTemplateWriteChannel, templatePath) == 0) return false;
  WriteText(kTemplateWriteChannel, templateText);
  if (CloseChannel(kTemplateWriteChannel) != 0) return true;
  RemoveFile(templatePath);
  return false;
}

// A player may hand the machine on to another process and end at once; the
// machine then still reads from the directory, as its lock shows. Waits,
// looking every second, until the lock is gone or has stood unchanged for
// the stale limit.
void WaitWhileTheMachineHoldsTheDirectory(LauncherServices& services,
                                          const std::string& directory) {
  // The player (VMware's or ours) keeps it beside the configuration.
  const std::string lockName = std::string(kRunConfigName) + kMachineLockSuffix;
  std::optional<TreeStamp> seen;
  std::int64_t unchangedSince = 0;
  for (;;) {
    const std::optional<TreeStamp> lock = StampOfEntry(directory, lockName);
    if (!lock) return;
    const std::int64_t now = services.ElapsedMilliseconds();
    if (lock != seen) {
      seen = lock;
      unchangedSince = now;
    } else if (now - unchangedSince >= kStaleLockMilliseconds) {
      return;
    }
    services.Pause(kLockLookInterval);
  }
}

// On Windows a file the machine still holds open keeps the directory from
// going; a player closing down may hold one a little longer. Waits, looking
// every second, as long as that is so, up to the stale limit.
void WaitWhileFilesAreInUse(LauncherServices& services, const std::string& directory) {
  const std::int64_t since = services.ElapsedMilliseconds();
  while (FileInUseBelow(directory) &&
         services.ElapsedMilliseconds() - since < kStaleLockMilliseconds) {
    services.Pause(kLockLookInterval);
  }
}

void RemoveTemporaryDirectory(LauncherServices& services, const std::string& directory) {
  if (services.RemoveDirectoryTree(directory, "", RemoveRecursive) == 0) {
    ShowError(services, FolderStaysText(directory));
  }
}

// Answers a help switch, and says so where no box can be shown; the exit
// code when the run ends here.
std::optional<int> AnswerHelpOrMissingDisplay(LauncherServices& services) {
  // Without a display nothing could be asked or shown: the help and the
  // reason go to the error output instead.
  const bool dialogsCanBeShown = services.CanShowDialogs();
  if (IsHelpSwitch(services.NextProgramParameter())) {
    if (!dialogsCanBeShown) {
      services.WriteErrorOutput(ShownText(kHelpText));
    } else {
      services.ShowMessage(ShownText(kHelpTitle), ShownText(kHelpText), kOneOkButton);
    }
    return kExitHelpShown;
  }
  if (!dialogsCanBeShown) {
    services.WriteErrorOutput(ShownText(kNoDisplay));
    return kExitNoDisplay;
  }
  return std::nullopt;
}

// Writes a missing template file and asks whether to go on; false when the
// user says no. `fromBuiltInTemplate` is set when the file could not be
// written and the run goes on from memory.
bool EnsureTemplateFile(LauncherServices& services, const std::string& templatePath,
                        const std::string& templateText, bool* fromBuiltInTemplate) {
  *fromBuiltInTemplate = false;
  if (QueryFileSize(templatePath) != -1) return true;
  // A template that cannot be written (say, in a program folder that is not
  // writable) is never claimed as created.
  const bool written = WriteDefaultTemplate(templatePath, templateText);
  const std::string question =
      written ? TemplateQuestion(templatePath) : TemplateNotWritten(templatePath);
  if (services.ShowMessage(ShownText(kInfoTitle), question, kYesNoButtons) == kAnsweredNo) {
    return false;
  }
  *fromBuiltInTemplate = !written;
  return true;
}

// Lets the user choose the image and checks that it can be booted from;
// nothing (after the reason was shown) when not.
std::optional<std::string> ChooseBootableImage(LauncherServices& services,
                                               const std::string& startDirectory) {
  const std::string imagePath = services.ChooseFileToOpen(ShownText(kChooserTitle), startDirectory,
                                                          ShownText(kImageFilter), 0);
  if (imagePath.empty()) {
    ShowError(services, ShownText(kNoFileChosen));
    return std::nullopt;
  }
  if (const std::optional<MachineFailure> refusal =
          RefusalOfImage(imagePath, services.KindOfFile(imagePath))) {
    ShowError(services, MachineFailureText(*refusal, imagePath, ""));
    return std::nullopt;
  }
  return imagePath;
}

// Makes the run's machine into `made`; the exit code (after the reasons
// were shown) when the run ends here.
std::optional<int> MakeRunMachine(LauncherServices& services, const std::string& imagePath,
                                  const MachineTemplate& from, const std::string& stamp,
                                  MadeMachine* made) {
  *made =
      MakeMachine(imagePath, from, services.TemporaryRoot(), stamp,
                  [&services](const std::string& path) { return services.MakeDirectory(path); });
  if (!made->failure) return std::nullopt;
  ShowError(services, MachineFailureText(*made->failure, imagePath, from.path));
  switch (*made->failure) {
    case MachineFailure::kTemplateUnreadable:
      return kExitTemplateUnreadable;
    // Without a folder the configuration has nowhere to go either.
    case MachineFailure::kNoFolder:
      ShowError(services, MachineFailureText(MachineFailure::kConfigNotWritten, imagePath, ""));
      break;
    case MachineFailure::kConfigNotWritten:
      RemoveTemporaryDirectory(services, made->folder);
      break;
    case MachineFailure::kImageIsNoFile:
    case MachineFailure::kImagePathUnusable:
      break;
  }
  return kExitNormal;
}

// Opens the run's configuration with the .vmx handler, waits until the
// machine has let go of its directory and removes it.
void BootFromRunDirectory(LauncherServices& services, const MadeMachine& machine) {
  const std::string& directory = machine.folder;
  // The doubled separator is harmless to the file system and is what the
  // player has always been handed.
  const std::string launchPath = directory + system_facts::kPathSeparator + kRunConfigName;
  if (services.LaunchProgram(launchPath, "", directory, LaunchWaitForEnd) == 0) {
    ShowError(services, ConfigCannotBeOpened(machine.vmxFile));
  }
  // One second more, so that the ended player has released its files.
  services.Pause(1000);
  WaitWhileTheMachineHoldsTheDirectory(services, directory);
  WaitWhileFilesAreInUse(services, directory);
  RemoveTemporaryDirectory(services, directory);
}

int RunOnce(LauncherServices& services) {
  const std::string templateText = DefaultTemplateText();
  if (const std::optional<int> ended = AnswerHelpOrMissingDisplay(services)) return *ended;

  const std::string stamp = FormatInteger(services.CurrentDateValue());
  const ProgramPlaces places = services.PlacesOfProgram(DirectoryPart(services.ProgramFilePath()));
  const std::string templatePath = places.templateDirectory + kTemplateFileName;
  bool fromBuiltInTemplate = false;
  if (!EnsureTemplateFile(services, templatePath, templateText, &fromBuiltInTemplate)) {
    return kExitNormal;
  }
  const std::optional<std::string> imagePath = ChooseBootableImage(services, places.startDirectory);
  if (!imagePath) return kExitNormal;

  MadeMachine machine;
  if (const std::optional<int> ended = MakeRunMachine(
          services, *imagePath, {templatePath, fromBuiltInTemplate}, stamp, &machine)) {
    return *ended;
  }
  BootFromRunDirectory(services, machine);
  return kExitNormal;
}

}  // namespace

int LauncherMain(LauncherServices& services) {
  InitChannelTable();
  services.StartServices();
  const int exitCode = RunOnce(services);
  CloseAllChannels();
  return exitCode;
}
