#include "core/launch_sequence.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/config_generation.h"
#include "core/default_template.h"
#include "platform/directory_services.h"
#include "platform/file_channels_system.h"
#include "platform/program_launcher.h"
#include "platform/shown_text.h"
#include "platform/system.h"
#include "platform/text_utilities.h"
#include "test_directory.h"

namespace {

namespace fs = std::filesystem;

constexpr char kSep = system_facts::kPathSeparator;

struct ShownBox {
  std::string title;
  std::string text;
  std::uint32_t flags;
};

struct RemovalCall {
  std::string path;
  std::string pattern;
  std::uint32_t flags;
};

struct LaunchCall {
  std::string program;
  std::string parameters;
  std::string directory;
  std::uint32_t flags;
  std::string configSeen;  // the configuration's bytes while the "player" ran
};

// Scripts the user's answers and records what the run showed and started.
// Directories are real, below the test's own directory.
class ScriptedServices : public LauncherServices {
 public:
  explicit ScriptedServices(const TestDirectory& where)
      : programDirectory(where.path() / "program"), temporaryRoot(where.path() / "tmp") {
    fs::create_directories(programDirectory);
    fs::create_directories(temporaryRoot);
  }

  void StartServices() override { ++starts; }
  std::string NextProgramParameter() override {
    ++parameterReads;
    return firstParameter;
  }
  DateValue CurrentDateValue() override { return now; }
  std::string ProgramFilePath() override { return (programDirectory / "trennwick.exe").string(); }
  std::string TemporaryRoot() override { return temporaryRoot.string() + kSep; }
  ProgramPlaces PlacesOfProgram(const std::string& directory) override {
    placesAskedFor = directory;
    return places.value_or(ProgramPlaces{directory, directory});
  }
  bool CanShowDialogs() override { return hasDisplay; }
  void WriteErrorOutput(const std::string& text) override { errorOutput.push_back(text); }

  std::int32_t ShowMessage(const std::string& title, const std::string& text,
                           std::uint32_t flags) override {
    boxes.push_back({title, text, flags});
    if (answers.empty()) return 1;
    const std::int32_t answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::string ChooseFileToOpen(const std::string& title, const std::string& initialPath,
                               const std::string& filter, std::int32_t filterIndex) override {
    ++chooserShown;
    chooserTitle = title;
    chooserInitialPath = initialPath;
    chooserFilter = filter;
    chooserFilterIndex = filterIndex;
    return chosenImage;
  }

  std::int32_t MakeDirectory(const std::string& path) override {
    madeDirectories.push_back(path);
    std::error_code error;
    return fs::create_directory(fs::path(path).parent_path(), error) ? 1 : 0;
  }
  std::int32_t RemoveDirectoryTree(const std::string& path, const std::string& pattern,
                                   std::uint32_t flags) override {
    removals.push_back({path, pattern, flags});
    if (refuseRemoval) return 0;
    std::error_code error;
    return fs::remove_all(path, error) > 0 ? 1 : 0;
  }
  std::intptr_t LaunchProgram(const std::string& program, const std::string& parameters,
                              const std::string& directory, std::uint32_t flags) override {
    launches.push_back({program, parameters, directory, flags, ReadBytes(program)});
    if (lockPauses != 0) {
      lockDirectory = fs::path(directory) / "trennwick.vmx.lck";
      fs::create_directories(lockDirectory);
      WriteBytes(lockDirectory / "owner", "0");
    }
    if (holdOpenPauses > 0) heldOpen.emplace(fs::path(directory) / "trennwick.log");
    return launchResult;
  }
  // The clock goes on by each pause. The lock's holder ends after
  // lockPauses pauses; a touching holder writes to it at every pause.
  void Pause(std::uint32_t milliseconds) override {
    pauses.push_back(milliseconds);
    clock += milliseconds;
    if (heldOpen && static_cast<int>(pauses.size()) > holdOpenPauses) heldOpen.reset();
    if (lockDirectory.empty() || lockPauses < 0) return;
    if (static_cast<int>(pauses.size()) > lockPauses) {
      configAtUnlock = ReadBytes(lockDirectory.parent_path() / "trennwick.vmx");
      fs::remove_all(lockDirectory);
      lockDirectory.clear();
    } else if (lockTouched) {
      WriteBytes(lockDirectory / "owner", std::to_string(pauses.size()));
      fs::last_write_time(lockDirectory / "owner",
                          fs::last_write_time(lockDirectory / "owner") +
                              std::chrono::seconds(static_cast<int>(pauses.size())));
    }
  }
  std::int64_t ElapsedMilliseconds() override { return clock; }
  FileKind KindOfFile(const std::string& path) override {
    kindAsked = path;
    return imageKind;
  }

  fs::path TemplateFile() const { return programDirectory / "trennwick_template.txt"; }

  // What the user does and what the world answers.
  std::string firstParameter;
  DateValue now = 1200000000;
  std::deque<std::int32_t> answers;
  std::string chosenImage = "D:\\isos\\debian.iso";
  std::intptr_t launchResult = 1;
  bool refuseRemoval = false;
  bool hasDisplay = true;
  std::optional<ProgramPlaces> places;  // none: both beside the program
  FileKind imageKind = FileKind::kRegular;
  // A player that hands the machine on: a lock beside the configuration
  // that stays for this many pauses (never gone when negative).
  int lockPauses = 0;
  // A machine that keeps a file of the directory open (the C library opens
  // without delete sharing) for this many pauses.
  int holdOpenPauses = 0;
  std::optional<std::ofstream> heldOpen;
  bool lockTouched = false;
  std::int64_t clock = 5000;

  // What the run did.
  int starts = 0;
  int parameterReads = 0;
  std::vector<ShownBox> boxes;
  int chooserShown = 0;
  std::string chooserTitle, chooserInitialPath, chooserFilter;
  std::int32_t chooserFilterIndex = -99;
  std::vector<std::string> madeDirectories;
  std::vector<RemovalCall> removals;
  std::vector<LaunchCall> launches;
  std::vector<std::uint32_t> pauses;
  std::string placesAskedFor;
  std::vector<std::string> errorOutput;
  std::string kindAsked;
  fs::path lockDirectory;
  std::string configAtUnlock;

  fs::path programDirectory;
  fs::path temporaryRoot;
};

// The configuration bytes that the default template gives for an image.
std::string DefaultConfigFor(const std::string& image) {
  std::string config;
  // The template file ends its lines with CR (Windows) or LF (Linux).
  for (char c : DefaultTemplateText())
    config += (c == '\r' || c == '\n') ? std::string("\r\n") : std::string(1, c);
  config = ReplaceAll(config, kImagePlaceholder, "ide1:0.fileName = \"" + image + "\"");
  return config + "\r\n";
}

class LaunchSequence : public ::testing::Test {
 protected:
  // A template beside the program, so that no first-run question comes.
  void PlaceDefaultTemplate() { WriteBytes(services.TemplateFile(), DefaultTemplateText()); }

  std::vector<fs::path> TemporaryEntries() const {
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(services.temporaryRoot))
      entries.push_back(entry.path());
    return entries;
  }

  TestDirectory where;
  ScriptedServices services{where};
};

TEST_F(LaunchSequence, HelpSwitchShowsTheInfoBoxAndEndsWithOne) {
  const std::string expectedText =
      "Trennwick f\xFCr VMWare\rVersion 1 vom 26.2.2008\r\r"
      "L\xE4sst beim Starten eine ISO-Datei (Abbild einer CD oder DVD) ausw\xE4hlen und erstellt "
      "ein "
      "tempor\xE4res\r"
      "Verzeichnis mit einer VMWare-Konfigdatei. Mit dieser wird dann von dem ISO-File gebootet. \r"
      "Das Tempor\xE4re Verzeichnis wird nach Beenden der VMware-Session automatisch wieder "
      "gel\xF6scht.\r\r"
      "Die beiliegende Template-Datei kann an eigene Bed\xFCrfnisse angepasst werden. Fehlt sie, "
      "wird "
      "sie automatisch erstellt.\r\r"
      "Freeware. Benutzung auf eigene Gefahr\r"
      "Updates und Infos auf " TRENNWICK_WEB_ADDRESS "\r";
  for (const char* helpSwitch : {"--help", "-h", "/h", "-?", "/?"}) {
    ScriptedServices run(where);
    run.firstParameter = helpSwitch;
    EXPECT_EQ(LauncherMain(run), 1) << helpSwitch;
    ASSERT_EQ(run.boxes.size(), 1u) << helpSwitch;
    EXPECT_EQ(run.boxes[0].title, ShownText("Trennwick f\xFCr VMWARE  --> Info"));
    EXPECT_EQ(run.boxes[0].text, ShownText(expectedText));
    EXPECT_EQ(run.boxes[0].flags, 0u);
    EXPECT_EQ(run.chooserShown, 0);
    EXPECT_EQ(run.starts, 1);
    EXPECT_FALSE(fs::exists(run.TemplateFile())) << "help must not write the template";
  }
}

TEST_F(LaunchSequence, OtherCapitalsOrAnImageAsParameterStartANormalRun) {
  PlaceDefaultTemplate();
  for (const char* parameter : {"--HELP", "-H", "/H", "--help ", "debian.iso"}) {
    ScriptedServices run(where);
    run.firstParameter = parameter;
    EXPECT_EQ(LauncherMain(run), 0) << parameter;
    EXPECT_EQ(run.chooserShown, 1) << parameter;
    EXPECT_EQ(run.parameterReads, 1);
  }
}

TEST_F(LaunchSequence, FirstRunWritesTheTemplateAndAsks) {
  services.answers = {7};  // No
  EXPECT_EQ(LauncherMain(services), 0);
  EXPECT_EQ(ReadBytes(services.TemplateFile()), DefaultTemplateText());
  ASSERT_EQ(services.boxes.size(), 1u);
  EXPECT_EQ(services.boxes[0].title, "Info");
  EXPECT_EQ(services.boxes[0].flags, 4u);
  EXPECT_EQ(services.boxes[0].text,
            "Das Templatefile wurde im Arbeitsverzeichnis nicht gefunden:\r" +
                services.TemplateFile().string() +
                "\rEs wurde neu erstellt und kann ggf. angepasst werden.\r"
                "Soll nun mit der Standardkonfig fortgefahren werden?");
  EXPECT_EQ(services.chooserShown, 0);

  // The next run finds the template and asks nothing.
  ScriptedServices next(where);
  EXPECT_EQ(LauncherMain(next), 0);
  EXPECT_TRUE(next.boxes.empty());
  EXPECT_EQ(next.chooserShown, 1);
}

TEST_F(LaunchSequence, FirstRunGoesOnWithTheNewTemplateOnYes) {
  services.answers = {6};  // Yes
  EXPECT_EQ(LauncherMain(services), 0);
  ASSERT_EQ(services.launches.size(), 1u);
  EXPECT_EQ(services.launches[0].configSeen, DefaultConfigFor(services.chosenImage));
}

TEST_F(LaunchSequence, TemplateAndChooserUseThePlacesTheSystemGives) {
  // An installed program: its template in the user's folder, the dialog in
  // the download folder.
  const fs::path own = where.path() / "config";
  fs::create_directories(own);
  services.places = ProgramPlaces{own.string() + kSep, "/home/anna/Downloads/"};
  services.answers = {6};
  EXPECT_EQ(LauncherMain(services), 0);
  EXPECT_EQ(ReadBytes(own / "trennwick_template.txt"), DefaultTemplateText());
  EXPECT_FALSE(fs::exists(services.TemplateFile()));
  ASSERT_EQ(services.boxes.size(), 1u);
  EXPECT_NE(services.boxes[0].text.find(own.string() + kSep + "trennwick_template.txt\r"),
            std::string::npos);
  EXPECT_EQ(services.chooserInitialPath, "/home/anna/Downloads/");
  ASSERT_EQ(services.launches.size(), 1u);

  // An edited template there is the one used.
  WriteBytes(own / "trennwick_template.txt", "memsize = \"64\"\n");
  ScriptedServices next(where);
  next.places = services.places;
  EXPECT_EQ(LauncherMain(next), 0);
  EXPECT_TRUE(next.boxes.empty());
  ASSERT_EQ(next.launches.size(), 1u);
  EXPECT_EQ(next.launches[0].configSeen, "memsize = \"64\"\r\n\r\n");
}

// Windows shows the ANSI bytes of a name as they are; Linux shows UTF-8,
// and a name in Latin-1 bytes with replacement characters.
const bool kWindows = kSep == '\\';

TEST_F(LaunchSequence, TemplateThatCannotBeWrittenIsNotClaimedAsCreated) {
  // A folder that is missing stands for one that refuses us. Joined as
  // bytes: std::filesystem would recode the name on Windows.
  const std::string folder = where.path().string() + kSep +
                             "\xDC"
                             "bungen" +
                             kSep;
  const std::string question = "Das Templatefile konnte nicht angelegt werden:\r" +
                               where.path().string() + kSep + (kWindows ? "\xDC" : "\xEF\xBF\xBD") +
                               "bungen" + kSep +
                               "trennwick_template.txt\r"
                               "Soll mit der eingebauten Standardkonfig fortgefahren werden?";
  services.places = ProgramPlaces{folder, folder};
  services.answers = {7};  // No
  EXPECT_EQ(LauncherMain(services), 0);
  ASSERT_EQ(services.boxes.size(), 1u);
  EXPECT_EQ(services.boxes[0].title, "Info");
  EXPECT_EQ(services.boxes[0].flags, 4u);
  EXPECT_EQ(services.boxes[0].text, question);
  EXPECT_EQ(services.chooserShown, 0);

  // Yes: the run goes on from the built-in template, without a file.
  ScriptedServices yes(where);
  yes.places = services.places;
  yes.answers = {6};
  EXPECT_EQ(LauncherMain(yes), 0);
  ASSERT_EQ(yes.boxes.size(), 1u);
  EXPECT_EQ(yes.boxes[0].text, question);
  ASSERT_EQ(yes.launches.size(), 1u);
  EXPECT_EQ(yes.launches[0].configSeen, DefaultConfigFor(yes.chosenImage));
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_TRUE(TemporaryEntries().empty());
}

TEST_F(LaunchSequence, OwnTextsAreShownInTheSystemsCodePage) {
  PlaceDefaultTemplate();
  services.chosenImage = "";
  EXPECT_EQ(LauncherMain(services), 0);
  EXPECT_EQ(services.chooserTitle, kWindows ? "Trennwick f\xFCr VMWARE  -->  ISO-Image ausw\xE4hlen"
                                            : "Trennwick f\xC3\xBCr VMWARE  -->  ISO-Image "
                                              "ausw\xC3\xA4hlen");
  ASSERT_EQ(services.boxes.size(), 1u);
  EXPECT_EQ(services.boxes[0].text, kWindows
                                        ? "Keine Datei ausgew\xE4hlt. Programm wird beendet."
                                        : "Keine Datei ausgew\xC3\xA4hlt. Programm wird beendet.");
}

TEST_F(LaunchSequence, WithoutADisplayOnlyTheErrorOutputIsUsed) {
  services.hasDisplay = false;
  EXPECT_EQ(LauncherMain(services), kExitNoDisplay);
  EXPECT_NE(kExitNoDisplay, 0);
  ASSERT_EQ(services.errorOutput.size(), 1u);
  EXPECT_NE(services.errorOutput[0].find("DISPLAY"), std::string::npos);
  EXPECT_TRUE(services.boxes.empty());
  EXPECT_EQ(services.chooserShown, 0);
  EXPECT_FALSE(fs::exists(services.TemplateFile())) << "nothing is written without a display";

  // The help goes there too, and ends as help does.
  ScriptedServices help(where);
  help.hasDisplay = false;
  help.firstParameter = "--help";
  EXPECT_EQ(LauncherMain(help), 1);
  EXPECT_TRUE(help.boxes.empty());
  ASSERT_EQ(help.errorOutput.size(), 1u);
  EXPECT_EQ(help.errorOutput[0].rfind(ShownText("Trennwick f\xFCr VMWare\r"), 0), 0u);
}

TEST_F(LaunchSequence, NormalRunOpensTheConfigWaitsAndCleansUp) {
  PlaceDefaultTemplate();
  services.chosenImage = "C:\\Users\\J\xFCrgen\\ISOs\\debian 12 (netinst).iso";
  EXPECT_EQ(LauncherMain(services), 0);

  EXPECT_TRUE(services.boxes.empty());
  EXPECT_EQ(services.chooserTitle,
            ShownText("Trennwick f\xFCr VMWARE  -->  ISO-Image ausw\xE4hlen"));
  EXPECT_EQ(services.chooserInitialPath, services.programDirectory.string() + kSep);
  EXPECT_EQ(services.placesAskedFor, services.programDirectory.string() + kSep);
  EXPECT_EQ(services.chooserFilter, "ISO-Image (*.iso)|*.iso|Alle Dateien (*.*)|*.*");
  EXPECT_EQ(services.chooserFilterIndex, 0);

  const std::string directory = services.TemporaryRoot() + "trennwick_temp_1200000000" + kSep;
  EXPECT_EQ(services.madeDirectories, std::vector<std::string>{directory});
  ASSERT_EQ(services.launches.size(), 1u);
  EXPECT_EQ(services.launches[0].program, directory + kSep + "trennwick.vmx");
  EXPECT_EQ(services.launches[0].parameters, "");
  EXPECT_EQ(services.launches[0].directory, directory);
  EXPECT_EQ(services.launches[0].flags, LaunchWaitForEnd);
  EXPECT_EQ(services.launches[0].configSeen, DefaultConfigFor(services.chosenImage));
  EXPECT_EQ(services.pauses, std::vector<std::uint32_t>{1000});
  ASSERT_EQ(services.removals.size(), 1u);
  EXPECT_EQ(services.removals[0].path, directory);
  EXPECT_EQ(services.removals[0].pattern, "");
  EXPECT_EQ(services.removals[0].flags, RemoveRecursive);
  EXPECT_TRUE(TemporaryEntries().empty());
}

TEST_F(LaunchSequence, EditedTemplateTakesEffect) {
  WriteBytes(services.TemplateFile(),
             "memsize = \"2048\"\nIDE1:0.FILENAME = \"***ISOFILE.ISO***\"\n");
  EXPECT_EQ(LauncherMain(services), 0);
  ASSERT_EQ(services.launches.size(), 1u);
  EXPECT_EQ(services.launches[0].configSeen,
            "memsize = \"2048\"\r\nide1:0.fileName = \"D:\\isos\\debian.iso\"\r\n\r\n");
}

TEST_F(LaunchSequence, CancelledChooserEndsWithoutATemporaryDirectory) {
  PlaceDefaultTemplate();
  services.chosenImage = "";
  EXPECT_EQ(LauncherMain(services), 0);
  ASSERT_EQ(services.boxes.size(), 1u);
  EXPECT_EQ(services.boxes[0].title, "Fehler");
  EXPECT_EQ(services.boxes[0].text, ShownText("Keine Datei ausgew\xE4hlt. Programm wird beendet."));
  EXPECT_EQ(services.boxes[0].flags, 0u);
  EXPECT_TRUE(services.madeDirectories.empty());
  EXPECT_TRUE(TemporaryEntries().empty());
}

TEST_F(LaunchSequence, DirectoryNamedLikeTheTemplateIsAReadError) {
  fs::create_directory(services.TemplateFile());
  EXPECT_EQ(LauncherMain(services), 2);
  EXPECT_EQ(services.chooserShown, 1);
  ASSERT_EQ(services.boxes.size(), 1u);
  EXPECT_EQ(services.boxes[0].title, "Fehler");
  EXPECT_EQ(services.boxes[0].text,
            "Kann die VM-Ware-Datei nicht lesen: '" + services.TemplateFile().string() + "'.");
  EXPECT_TRUE(fs::is_directory(services.TemplateFile()));
  EXPECT_TRUE(services.madeDirectories.empty());
}

TEST_F(LaunchSequence, ImagePathThatWouldBreakTheConfigIsRefused) {
  PlaceDefaultTemplate();
  for (const std::string& image : {std::string("/isos/a\"b.iso"), std::string("/isos/a\nb.iso"),
                                   std::string("/isos/a\rb.iso"), std::string("/isos/\x1F.iso")}) {
    ScriptedServices run(where);
    run.chosenImage = image;
    EXPECT_EQ(LauncherMain(run), 0);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].title, "Fehler");
    EXPECT_NE(run.boxes[0].text.find("'" + image + "'"), std::string::npos);
    EXPECT_TRUE(run.madeDirectories.empty());
    EXPECT_TRUE(run.launches.empty());
  }
}

TEST_F(LaunchSequence, TakenTemporaryDirectoryIsNeverShared) {
  PlaceDefaultTemplate();
  // Another run of the same second, and one left behind by a crash.
  const fs::path first = services.temporaryRoot / "trennwick_temp_1200000000";
  fs::create_directory(first);
  WriteBytes(first / "trennwick.vmx", "the other run's config");
  fs::create_directory(services.temporaryRoot / "trennwick_temp_1200000000_2");
  EXPECT_EQ(LauncherMain(services), 0);
  EXPECT_TRUE(services.boxes.empty());
  const std::string own = services.TemporaryRoot() + "trennwick_temp_1200000000_3" + kSep;
  ASSERT_EQ(services.launches.size(), 1u);
  EXPECT_EQ(services.launches[0].directory, own);
  EXPECT_EQ(services.launches[0].configSeen, DefaultConfigFor(services.chosenImage));
  EXPECT_EQ(ReadBytes(first / "trennwick.vmx"), "the other run's config");
  EXPECT_FALSE(fs::exists(own));
}

TEST_F(LaunchSequence, ClockOutOfRangeGivesTheStampMinusOne) {
  PlaceDefaultTemplate();
  services.now = -1;
  EXPECT_EQ(LauncherMain(services), 0);
  ASSERT_EQ(services.launches.size(), 1u);
  EXPECT_EQ(services.launches[0].directory, services.TemporaryRoot() + "trennwick_temp_-1" + kSep);
}

TEST_F(LaunchSequence, MissingTemporaryRootReportsBothErrorsAndWritesNothing) {
  PlaceDefaultTemplate();
  fs::remove(services.temporaryRoot);
  EXPECT_EQ(LauncherMain(services), 0);
  ASSERT_EQ(services.boxes.size(), 2u);
  EXPECT_EQ(services.boxes[0].title, "Fehler");
  EXPECT_EQ(services.boxes[0].text, "Kann Tempdir nicht erstellen");
  EXPECT_EQ(services.boxes[1].title, "Fehler");
  EXPECT_EQ(services.boxes[1].text, "Kann die neue Konfig nicht schreiben");
  EXPECT_EQ(services.madeDirectories.size(), 1u) << "a missing root is not worth more tries";
  EXPECT_TRUE(services.launches.empty());
  EXPECT_FALSE(fs::exists(services.temporaryRoot));
}

TEST_F(LaunchSequence, FailedLaunchIsReportedAndStillCleanedUp) {
  PlaceDefaultTemplate();
  services.launchResult = 0;
  EXPECT_EQ(LauncherMain(services), 0);
  const std::string directory = services.TemporaryRoot() + "trennwick_temp_1200000000" + kSep;
  ASSERT_EQ(services.boxes.size(), 1u);
  EXPECT_EQ(services.boxes[0].title, "Fehler");
  EXPECT_EQ(services.boxes[0].flags, 0u);
  EXPECT_NE(services.boxes[0].text.find(directory + "trennwick.vmx"), std::string::npos);
  EXPECT_NE(services.boxes[0].text.find("VMware Player"), std::string::npos);
  EXPECT_EQ(services.pauses.size(), 1u);
  EXPECT_TRUE(TemporaryEntries().empty());
}

TEST_F(LaunchSequence, FailedRemovalIsReported) {
  PlaceDefaultTemplate();
  services.refuseRemoval = true;
  EXPECT_EQ(LauncherMain(services), 0);
  const std::string directory = services.TemporaryRoot() + "trennwick_temp_1200000000" + kSep;
  ASSERT_EQ(services.boxes.size(), 1u);
  EXPECT_EQ(services.boxes[0].title, "Fehler");
  EXPECT_EQ(services.boxes[0].text,
            ShownText("Kann das tempor\xE4re Verzeichnis nicht l\xF6schen: '") + directory + "'.");
}

// Disk full, a share gone away, a bad sector: the file layer's system
// calls fail under the run.
class LaunchSequenceWithFailingFiles : public LaunchSequence {
 protected:
  void SetUp() override { saved_ = fileChannelSystem; }
  void TearDown() override { fileChannelSystem = saved_; }

  static std::int32_t FailingWrite(SystemFile, const void*, std::int32_t) { return -1; }
  static std::int32_t FailingRead(SystemFile, void*, std::int32_t) { return -1; }

 private:
  FileChannelSystem saved_{};
};

TEST_F(LaunchSequenceWithFailingFiles, LostConfigWriteIsReportedAndNothingIsLaunched) {
  PlaceDefaultTemplate();
  fileChannelSystem.writeFile = &FailingWrite;
  EXPECT_EQ(LauncherMain(services), 0);
  ASSERT_EQ(services.boxes.size(), 1u);
  EXPECT_EQ(services.boxes[0].title, "Fehler");
  EXPECT_EQ(services.boxes[0].text, "Kann die neue Konfig nicht schreiben");
  EXPECT_TRUE(services.launches.empty());
  EXPECT_EQ(services.removals.size(), 1u);
  EXPECT_TRUE(TemporaryEntries().empty());
}

TEST_F(LaunchSequenceWithFailingFiles, TemplateWhoseWritingFailedIsNotLeftBehind) {
  fileChannelSystem.writeFile = &FailingWrite;
  services.answers = {7};  // No
  EXPECT_EQ(LauncherMain(services), 0);
  EXPECT_FALSE(fs::exists(services.TemplateFile()));
  ASSERT_EQ(services.boxes.size(), 1u);
  EXPECT_EQ(services.boxes[0].title, "Info");
  EXPECT_EQ(services.boxes[0].text,
            "Das Templatefile konnte nicht angelegt werden:\r" + services.TemplateFile().string() +
                "\rSoll mit der eingebauten Standardkonfig fortgefahren werden?");
  EXPECT_EQ(services.chooserShown, 0);
}

TEST_F(LaunchSequenceWithFailingFiles, TemplateReadErrorEndsLikeAnUnreadableTemplate) {
  PlaceDefaultTemplate();
  fileChannelSystem.readFile = &FailingRead;
  EXPECT_EQ(LauncherMain(services), 2);
  ASSERT_EQ(services.boxes.size(), 1u);
  EXPECT_EQ(services.boxes[0].text,
            "Kann die VM-Ware-Datei nicht lesen: '" + services.TemplateFile().string() + "'.");
  EXPECT_TRUE(services.launches.empty());
  EXPECT_EQ(ReadBytes(services.TemplateFile()), DefaultTemplateText());
}

TEST_F(LaunchSequence, AnImageThatIsNoFileOrDriveIsRefusedBeforeAnythingIsMade) {
  PlaceDefaultTemplate();
  for (FileKind kind : {FileKind::kMissing, FileKind::kDirectory, FileKind::kOther}) {
    ScriptedServices run(where);
    run.imageKind = kind;
    EXPECT_EQ(LauncherMain(run), 0);
    EXPECT_EQ(run.kindAsked, run.chosenImage);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].title, "Fehler");
    EXPECT_EQ(run.boxes[0].text,
              ShownText("Das ISO-Image kann nicht verwendet werden: '") +
                  ShownFileName(run.chosenImage) +
                  ShownText("'.\rEs muss eine vorhandene Datei oder ein CD-Laufwerk sein."));
    EXPECT_TRUE(run.madeDirectories.empty());
    EXPECT_TRUE(run.launches.empty());
  }
  // A physical CD drive is as good as an image file.
  services.imageKind = FileKind::kBlockDevice;
  EXPECT_EQ(LauncherMain(services), 0);
  EXPECT_TRUE(services.boxes.empty());
  EXPECT_EQ(services.launches.size(), 1u);
}

TEST_F(LaunchSequence, TheRunWaitsWhileTheHandedOnMachineHoldsItsLock) {
  PlaceDefaultTemplate();
  services.lockPauses = 4;
  EXPECT_EQ(LauncherMain(services), 0);
  // The one pause after the player, then one per look until the lock went.
  EXPECT_EQ(services.pauses, std::vector<std::uint32_t>(5, 1000));
  EXPECT_EQ(services.configAtUnlock, DefaultConfigFor(services.chosenImage));
  EXPECT_EQ(services.removals.size(), 1u);
  EXPECT_TRUE(services.boxes.empty());
  EXPECT_TRUE(TemporaryEntries().empty());
}

TEST_F(LaunchSequence, AStaleLockHoldsTheRunForTenMinutesOnlyAndALiveOneLonger) {
  PlaceDefaultTemplate();
  services.lockPauses = -1;  // left behind: never touched, never gone
  EXPECT_EQ(LauncherMain(services), 0);
  EXPECT_EQ(services.pauses.size(), 1u + 600u);
  EXPECT_EQ(services.removals.size(), 1u);

  // Touched at every look, it is in use, however long that lasts.
  ScriptedServices busy(where);
  busy.lockPauses = 900;
  busy.lockTouched = true;
  EXPECT_EQ(LauncherMain(busy), 0);
  EXPECT_EQ(busy.pauses.size(), 901u);
  EXPECT_EQ(busy.configAtUnlock, DefaultConfigFor(busy.chosenImage));
}

TEST_F(LaunchSequence, OnWindowsTheRunWaitsWhileAFileOfTheDirectoryIsStillOpen) {
  if (kSep != '\\') GTEST_SKIP() << "an open file never keeps a directory on Linux";
  PlaceDefaultTemplate();
  services.holdOpenPauses = 3;
  EXPECT_EQ(LauncherMain(services), 0);
  // The pause after the player, then one per look while the file was open.
  EXPECT_EQ(services.pauses, std::vector<std::uint32_t>(4, 1000));
  EXPECT_TRUE(services.boxes.empty());
  EXPECT_TRUE(TemporaryEntries().empty());
}

}  // namespace
