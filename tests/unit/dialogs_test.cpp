#include "platform/dialogs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/dialogs_system.h"
#include "platform/system.h"

namespace {

using namespace std::string_literals;

// A path written with backslashes, in this system's separator.
std::string Native(std::string path) {
  std::replace(path.begin(), path.end(), '\\', system_facts::kPathSeparator);
  return path;
}

DialogWindow Window(std::uintptr_t number) {
  return reinterpret_cast<DialogWindow>(number);
}

struct FakeWindow {
  DialogWindow handle;
  std::uint32_t thread;
  std::uint32_t process;
  bool visible;
  bool enabled;
};

// What a file dialog was given.
struct DialogSeen {
  bool save = false;
  DialogWindow owner = nullptr;
  std::string filter;  // up to and including the two NULs that end it
  std::uint32_t filterIndex = 0;
  std::string file;
  bool fileZeroFilled = false;  // every byte after the initial name is NUL
  std::uint32_t maxFile = 0;
  bool hasInitialDir = false;
  std::string initialDir;
  bool hasTitle = false;
  std::string title;
  std::uint32_t flags = 0;
};

struct BoxSeen {
  DialogWindow owner;
  std::string text;
  std::string title;
  std::uint32_t flags;
};

// The system as the tests script it: windows, the user's answers, and a
// record of every call.
struct FakeSystem {
  static constexpr std::uint32_t kProcess = 10;
  static constexpr std::uint32_t kThread = 100;

  std::vector<FakeWindow> windows;
  std::vector<DialogWindow> foregrounds{nullptr};  // one per question; the last one stays
  std::size_t foregroundQuestions = 0;
  std::uint32_t thread = kThread;
  std::vector<std::pair<DialogWindow, bool>> enableCalls;
  int initializeCalls = 0;

  std::int32_t boxResult = 1;
  std::vector<BoxSeen> boxes;

  bool confirm = true;
  std::string selection;                // bytes the user's choice leaves in the buffer
  std::uint32_t chosenFilterIndex = 0;  // 0: the system leaves the index as it was
  std::vector<DialogSeen> dialogs;
  std::function<void()> whileOpen;  // runs while a dialog is open

  bool display = true;
  std::string errorOutput;

  FakeWindow* Find(DialogWindow handle) {
    for (FakeWindow& window : windows) {
      if (window.handle == handle) return &window;
    }
    return nullptr;
  }
};

FakeSystem* fake = nullptr;

bool FakeFileDialog(FileDialogRecord* record, bool save) {
  DialogSeen seen;
  seen.save = save;
  seen.owner = record->owner;
  const char* end = record->filter;
  while (end[0] != '\0' || end[1] != '\0') ++end;
  seen.filter.assign(record->filter, end + 2);
  seen.filterIndex = record->filterIndex;
  seen.file = record->file;
  seen.fileZeroFilled = std::all_of(record->file + seen.file.size(), record->file + record->maxFile,
                                    [](char c) { return c == 0; });
  seen.maxFile = record->maxFile;
  seen.hasInitialDir = record->initialDir != nullptr;
  if (seen.hasInitialDir) seen.initialDir = record->initialDir;
  seen.hasTitle = record->title != nullptr;
  if (seen.hasTitle) seen.title = record->title;
  seen.flags = record->flags;
  fake->dialogs.push_back(seen);
  if (fake->whileOpen) fake->whileOpen();
  if (!fake->confirm) return false;
  std::memset(record->file, 0, record->maxFile);
  std::memcpy(record->file, fake->selection.data(),
              std::min<std::size_t>(fake->selection.size(), record->maxFile));
  if (fake->chosenFilterIndex != 0) record->filterIndex = fake->chosenFilterIndex;
  return true;
}

constexpr DialogSystemCalls kFakeCalls = {
    [] { ++fake->initializeCalls; },
    [] {
      const std::size_t question =
          std::min(fake->foregroundQuestions++, fake->foregrounds.size() - 1);
      return fake->foregrounds[question];
    },
    [](DialogWindow handle, std::uint32_t* processId) -> std::uint32_t {
      const FakeWindow* window = fake->Find(handle);
      if (processId != nullptr) *processId = window != nullptr ? window->process : 0;
      return window != nullptr ? window->thread : 0;
    },
    [] { return FakeSystem::kProcess; },
    [] { return fake->thread; },
    [](WindowVisitor visit, void* context) {
      for (const FakeWindow& window : fake->windows) {
        if (!visit(window.handle, context)) break;
      }
    },
    [](DialogWindow handle) { return fake->Find(handle)->visible; },
    [](DialogWindow handle) { return fake->Find(handle)->enabled; },
    [](DialogWindow handle, bool enable) {
      fake->enableCalls.emplace_back(handle, enable);
      fake->Find(handle)->enabled = enable;
    },
    [](DialogWindow owner, const char* text, const char* title, std::uint32_t flags) {
      fake->boxes.push_back(BoxSeen{owner, text, title, flags});
      if (fake->whileOpen) fake->whileOpen();
      return fake->boxResult;
    },
    [](FileDialogRecord* record) { return FakeFileDialog(record, false); },
    [](FileDialogRecord* record) { return FakeFileDialog(record, true); },
    [] { return fake->display; },
    [](const char* bytes, std::size_t size) { fake->errorOutput.append(bytes, size); },
};

class DialogsTest : public testing::Test {
 protected:
  void SetUp() override {
    fake = &system_;
    dialogSystem = kFakeCalls;
    // No selection of an earlier test is left over.
    system_.confirm = false;
    ChooseFileToOpen("", "", "", 0);
    system_ = FakeSystem{};
  }
  void TearDown() override {
    dialogSystem = kSystemDialogCalls;
    fake = nullptr;
  }

  FakeSystem system_;
};

const std::string kIsoFilter = "ISO-Image (*.iso)|*.iso|Alle Dateien (*.*)|*.*";

TEST(IsValidFileName, RefusesExactlyControlBytesAndReservedCharacters) {
  const std::string reserved = "\"*/:<>?\\|";
  for (int byte = 1; byte <= 255; ++byte) {
    const char c = static_cast<char>(byte);
    const bool refused = byte <= 31 || reserved.find(c) != std::string::npos;
    EXPECT_EQ(IsValidFileName("a"s + c + "b"), !refused) << "byte " << byte;
  }
  EXPECT_FALSE(IsValidFileName(""));
  EXPECT_TRUE(IsValidFileName(" .. . "));
  EXPECT_TRUE(
      IsValidFileName("Gr\xF6\xDF"
                      "e.iso"));
}

TEST(SplitInitialPath, SeparatesAtTheLastBackslashAfterTheFirstCharacter) {
  struct Case {
    const char* path;
    const char* directory;
    const char* fileName;
  };
  const Case cases[] = {
      {"D:\\Tools\\", "D:\\Tools", ""},
      {"D:\\isos\\debian.iso", "D:\\isos", "debian.iso"},
      {"D:\\isos\\sub\\debian.iso", "D:\\isos\\sub", "debian.iso"},
      {"debian.iso", "", "debian.iso"},
      {"D:/isos/debian.iso", "", ""},
      {"\\debian.iso", "", ""},
      {"D:\\isos\\what?.iso", "D:\\isos", ""},
      {"D:\\isos\\a:b.iso", "D:\\isos", ""},
      {"D:\\isos\\tab\t.iso", "D:\\isos", ""},
      {"a\\\\", "a\\", ""},
  };
  for (const Case& c : cases) {
    const InitialPathSplit split = SplitInitialPath(c.path, '\\');
    EXPECT_EQ(split.directory, c.directory) << c.path;
    EXPECT_EQ(split.fileName, c.fileName) << c.path;
  }
  const InitialPathSplit linux = SplitInitialPath("/home/anna/debian.iso", '/');
  EXPECT_EQ(linux.directory, "/home/anna");
  EXPECT_EQ(linux.fileName, "debian.iso");
}

TEST(SplitInitialPath, DropsANameThatDoesNotFitTheSingleSelection) {
  EXPECT_EQ(SplitInitialPath("D:\\x\\" + std::string(259, 'n'), '\\').fileName.size(), 259u);
  const InitialPathSplit tooLong = SplitInitialPath("D:\\x\\" + std::string(260, 'n'), '\\');
  EXPECT_EQ(tooLong.fileName, "");
  EXPECT_EQ(tooLong.directory, "D:\\x");
}

TEST(FilterPairs, ReadsTheListBackAndStopsAtAnUnpairedText) {
  const std::string list = FilterList(kIsoFilter);
  const std::vector<FilterPair> pairs = FilterPairs(list.c_str());
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(pairs[0].displayText, "ISO-Image (*.iso)");
  EXPECT_EQ(pairs[0].patterns, "*.iso");
  EXPECT_EQ(pairs[1].displayText, "Alle Dateien (*.*)");
  EXPECT_EQ(pairs[1].patterns, "*.*");
  EXPECT_EQ(FilterPairs(FilterList("Bilder|*.png;*.jpg|Rest").c_str()).size(), 1u);
  EXPECT_TRUE(FilterPairs(FilterList("").c_str()).empty());
  EXPECT_TRUE(FilterPairs(nullptr).empty());
}

TEST(SelectionFromPaths, WritesOnePathOrTheCommonDirectoryAndTheNames) {
  EXPECT_EQ(SelectionFromPaths({"/isos/a.iso"}, '/'), "/isos/a.iso\0\0"s);
  EXPECT_EQ(SelectionFromPaths({"/isos/a.iso", "/isos/b.iso"}, '/'), "/isos\0a.iso\0b.iso\0\0"s);
  EXPECT_EQ(SelectionFromPaths({"/a.iso", "/b.iso"}, '/'), "/\0a.iso\0b.iso\0\0"s);
  EXPECT_EQ(SelectionFromPaths({"/x/ab/1", "/x/ac/2"}, '/'), "/x\0ab/1\0ac/2\0\0"s);
  EXPECT_EQ(SelectionFromPaths({"/x/a/1", "/y/2", "/x/3"}, '/'), "/\0x/a/1\0y/2\0x/3\0\0"s);
  EXPECT_EQ(SelectionFromPaths({"D:\\a.iso", "D:\\b.iso"}, '\\'), "D:\\\0a.iso\0b.iso\0\0"s);
  EXPECT_EQ(SelectionFromPaths({"D:\\i\\a", "D:\\i\\b"}, '\\'), "D:\\i\0a\0b\0\0"s);
}

TEST_F(DialogsTest, OpenDialogGetsTheRecordFieldByField) {
  system_.selection = Native("D:\\isos\\debian.iso");
  system_.chosenFilterIndex = 2;
  EXPECT_EQ(ChooseFileToOpen("Pick", Native("D:\\isos\\debian.iso"), kIsoFilter, 0),
            Native("D:\\isos\\debian.iso"));
  ASSERT_EQ(system_.dialogs.size(), 1u);
  const DialogSeen& seen = system_.dialogs[0];
  EXPECT_FALSE(seen.save);
  EXPECT_EQ(seen.owner, nullptr);
  EXPECT_EQ(seen.filter, "ISO-Image (*.iso)\0*.iso\0Alle Dateien (*.*)\0*.*\0\0"s);
  EXPECT_EQ(seen.filterIndex, 1u);
  EXPECT_EQ(seen.file, "debian.iso");
  EXPECT_TRUE(seen.fileZeroFilled);
  EXPECT_EQ(seen.maxFile, 260u);
  EXPECT_TRUE(seen.hasInitialDir);
  EXPECT_EQ(seen.initialDir, Native("D:\\isos"));
  EXPECT_TRUE(seen.hasTitle);
  EXPECT_EQ(seen.title, "Pick");
  EXPECT_EQ(seen.flags, 0x8080Cu);
  EXPECT_EQ(SelectedFilterIndex(), 1);
}

TEST_F(DialogsTest, AbsentTitlePathAndFilterLeaveTheSystemDefaults) {
  system_.selection = "x";
  ChooseFileToSave("", "", "", 0);
  ASSERT_EQ(system_.dialogs.size(), 1u);
  EXPECT_TRUE(system_.dialogs[0].save);
  EXPECT_EQ(system_.dialogs[0].flags, 0x8080Cu);
  EXPECT_FALSE(system_.dialogs[0].hasTitle);
  EXPECT_FALSE(system_.dialogs[0].hasInitialDir);
  EXPECT_EQ(system_.dialogs[0].file, "");
  EXPECT_EQ(system_.dialogs[0].filter, "\0\0"s);

  // A bare name: an empty initial directory, which is not an absent one.
  ChooseFileToOpen("", "debian.iso", "", 0);
  EXPECT_TRUE(system_.dialogs[1].hasInitialDir);
  EXPECT_EQ(system_.dialogs[1].initialDir, "");
  EXPECT_EQ(system_.dialogs[1].file, "debian.iso");
  // The program's directory: no initial name.
  ChooseFileToOpen("", Native("D:\\Tools\\"), kIsoFilter, 0);
  EXPECT_EQ(system_.dialogs[2].initialDir, Native("D:\\Tools"));
  EXPECT_EQ(system_.dialogs[2].file, "");
}

TEST_F(DialogsTest, FilterIndexCountsFromZeroForTheCallerAndFromOneForTheSystem) {
  system_.selection = "x";
  ChooseFileToOpen("", "", kIsoFilter, 1);
  EXPECT_EQ(system_.dialogs.back().filterIndex, 2u);
  EXPECT_EQ(SelectedFilterIndex(), 1);  // the system left the index as given
  ChooseFileToOpen("", "", kIsoFilter, -1);
  EXPECT_EQ(system_.dialogs.back().filterIndex, 0u);
  EXPECT_EQ(SelectedFilterIndex(), -1);
  system_.chosenFilterIndex = 1;
  ChooseFileToOpen("", "", kIsoFilter, 1);
  EXPECT_EQ(SelectedFilterIndex(), 0);

  system_.confirm = false;
  EXPECT_EQ(ChooseFileToOpen("", "", kIsoFilter, 1), "");
  EXPECT_EQ(SelectedFilterIndex(), -1);
}

TEST_F(DialogsTest, SingleSelectionIsReadWithinItsRoom) {
  system_.selection = std::string(300, 'a');  // the system left no NUL
  EXPECT_EQ(ChooseFileToOpen("", "", "", 0), std::string(260, 'a'));
}

TEST_F(DialogsTest, SeveralFilesAreHandedOutOneByOne) {
  system_.selection = Native("D:\\isos") + "\0a.iso\0b.iso\0c.iso\0\0"s;
  EXPECT_EQ(ChooseFilesToOpen("", "", kIsoFilter, 0, ChooseSeveralFiles),
            Native("D:\\isos\\a.iso"));
  EXPECT_EQ(system_.dialogs[0].maxFile, 512000u);
  EXPECT_EQ(system_.dialogs[0].flags, 0x80A0Cu);
  EXPECT_EQ(NextSelectedFile(), Native("D:\\isos\\b.iso"));
  EXPECT_EQ(NextSelectedFile(), Native("D:\\isos\\c.iso"));
  EXPECT_EQ(NextSelectedFile(), "");
  EXPECT_EQ(NextSelectedFile(), "");

  // The root keeps one separator.
  system_.selection = Native("D:\\") + "\0a.iso\0b.iso\0\0"s;
  EXPECT_EQ(ChooseFilesToOpen("", "", "", 0, ChooseSeveralFiles), Native("D:\\a.iso"));
  EXPECT_EQ(NextSelectedFile(), Native("D:\\b.iso"));
  EXPECT_EQ(NextSelectedFile(), "");
}

TEST_F(DialogsTest, OneFileOfAMultipleSelectionIsItsFullPath) {
  system_.selection = Native("D:\\isos\\a.iso") + "\0\0"s;
  EXPECT_EQ(ChooseFilesToOpen("", "", "", 0, ChooseSeveralFiles), Native("D:\\isos\\a.iso"));
  EXPECT_EQ(NextSelectedFile(), "");
  // Other option bits do not allow several files.
  system_.selection = Native("D:\\isos") + "\0a.iso\0b.iso\0\0"s;
  EXPECT_EQ(ChooseFilesToOpen("", "", "", 0, 2), Native("D:\\isos"));
  EXPECT_EQ(system_.dialogs.back().maxFile, 260u);
  EXPECT_EQ(NextSelectedFile(), "");
}

TEST_F(DialogsTest, ALaterDialogEndsTheRestOfAMultipleSelection) {
  const std::string three = Native("D:\\isos") + "\0a.iso\0b.iso\0c.iso\0\0"s;
  system_.selection = three;
  ChooseFilesToOpen("", "", "", 0, ChooseSeveralFiles);
  system_.selection = "single";
  ChooseFileToOpen("", "", "", 0);
  EXPECT_EQ(NextSelectedFile(), "");

  system_.selection = three;
  ChooseFilesToOpen("", "", "", 0, ChooseSeveralFiles);
  system_.confirm = false;
  EXPECT_EQ(ChooseFilesToOpen("", "", "", 0, ChooseSeveralFiles), "");
  EXPECT_EQ(NextSelectedFile(), "");
}

TEST_F(DialogsTest, ResultsLongerThanTheFixedRoomsComeBackWhole) {
  const std::string directory = Native("D:\\") + std::string(300, 'd');
  const std::string name(250, 'n');
  system_.selection = directory + "\0"s + name + "\0"s + name + "\0\0"s;
  EXPECT_EQ(ChooseFilesToOpen("", "", "", 0, ChooseSeveralFiles),
            directory + system_facts::kPathSeparator + name);
  EXPECT_EQ(NextSelectedFile(), directory + system_facts::kPathSeparator + name);
}

TEST_F(DialogsTest, PathsFromSeveralDirectoriesComeBackAsGiven) {
  const std::vector<std::string> paths = {Native("\\x\\a\\1.iso"), Native("\\y\\2.iso"),
                                          Native("\\x\\3.iso")};
  system_.selection = SelectionFromPaths(paths);
  EXPECT_EQ(ChooseFilesToOpen("", "", "", 0, ChooseSeveralFiles), paths[0]);
  EXPECT_EQ(NextSelectedFile(), paths[1]);
  EXPECT_EQ(NextSelectedFile(), paths[2]);
  EXPECT_EQ(NextSelectedFile(), "");
}

TEST_F(DialogsTest, MessageBoxGetsItsArgumentsAndResultUnchanged) {
  system_.boxResult = 7;
  EXPECT_EQ(ShowMessage("Trennwick f\xFCr VMWARE  --> Frage", "Weiter?\r", 4 | 0x40), 7);
  ASSERT_EQ(system_.boxes.size(), 1u);
  EXPECT_EQ(system_.boxes[0].owner, nullptr);
  EXPECT_EQ(system_.boxes[0].title, "Trennwick f\xFCr VMWARE  --> Frage");
  EXPECT_EQ(system_.boxes[0].text, "Weiter?\r");
  EXPECT_EQ(system_.boxes[0].flags, 0x44u);
  system_.boxResult = 0;  // the system could not show it
  EXPECT_EQ(ShowMessage("t", "x"), 0);
  EXPECT_EQ(system_.boxes[1].flags, 0u);

  InitDialogServices();
  EXPECT_EQ(system_.initializeCalls, 1);
}

TEST_F(DialogsTest, ErrorOutputBreaksLinesAsTheBoxWouldAndEndsTheLastOne) {
  WriteErrorOutput("Eins\rZwei\r\nDrei");
  EXPECT_EQ(system_.errorOutput, "Eins\nZwei\nDrei\n");
  system_.errorOutput.clear();
  WriteErrorOutput("Hilfe\r\r");
  EXPECT_EQ(system_.errorOutput, "Hilfe\n\n");
  system_.errorOutput.clear();
  WriteErrorOutput("");
  EXPECT_EQ(system_.errorOutput, "\n");

  EXPECT_TRUE(DialogsCanBeShown());
  system_.display = false;
  EXPECT_FALSE(DialogsCanBeShown());
}

TEST(LinesBrokenAtLineFeeds, MakesEveryCrOrCrLfOneLf) {
  EXPECT_EQ(LinesBrokenAtLineFeeds("a\rb\r\nc\n\rd\r"), "a\nb\nc\n\nd\n");
  EXPECT_EQ(LinesBrokenAtLineFeeds("\r\r\n\r"), "\n\n\n");
  EXPECT_EQ(LinesBrokenAtLineFeeds("\xC3\x9C"), "\xC3\x9C");
}

// Windows of this thread and others, as the system lists them.
class OwnWindowsTest : public DialogsTest {
 protected:
  void SetUp() override {
    DialogsTest::SetUp();
    const std::uint32_t process = FakeSystem::kProcess;
    const std::uint32_t thread = FakeSystem::kThread;
    system_.windows = {
        {kFirst, thread, process, true, true},     {kHidden, thread, process, false, true},
        {kDisabled, thread, process, true, false}, {kForeground, thread, process, true, true},
        {kOtherThread, 200, process, true, true},  {kOtherProcess, 300, 20, true, true},
        {kSecond, thread, process, true, true},
    };
  }

  std::vector<bool> Enabled() const {
    std::vector<bool> enabled;
    for (const FakeWindow& window : system_.windows) enabled.push_back(window.enabled);
    return enabled;
  }

  static inline const DialogWindow kFirst = Window(1);
  static inline const DialogWindow kHidden = Window(2);
  static inline const DialogWindow kDisabled = Window(3);
  static inline const DialogWindow kForeground = Window(4);
  static inline const DialogWindow kOtherThread = Window(5);
  static inline const DialogWindow kOtherProcess = Window(6);
  static inline const DialogWindow kSecond = Window(7);
};

TEST_F(OwnWindowsTest, DialogsDisableTheThreadsOtherWindowsWhileOpen) {
  system_.foregrounds = {kForeground};
  const std::vector<bool> before = Enabled();
  std::vector<bool> during;
  system_.whileOpen = [&] { during = Enabled(); };
  ShowMessage("t", "x");
  EXPECT_EQ(system_.boxes[0].owner, kForeground);
  EXPECT_EQ(during, (std::vector<bool>{false, true, false, true, true, true, false}));
  EXPECT_EQ(Enabled(), before);
  // Enabled again in the reverse order of their disabling.
  using Call = std::pair<DialogWindow, bool>;
  EXPECT_EQ(
      system_.enableCalls,
      (std::vector<Call>{{kFirst, false}, {kSecond, false}, {kSecond, true}, {kFirst, true}}));
  EXPECT_TRUE(DisabledWindowList.empty());

  during.clear();
  system_.selection = "x";
  ChooseFileToOpen("", "", "", 0);
  EXPECT_EQ(system_.dialogs[0].owner, kForeground);
  EXPECT_EQ(during, (std::vector<bool>{false, true, false, true, true, true, false}));
  EXPECT_EQ(Enabled(), before);
}

TEST_F(OwnWindowsTest, OwnerIsTheForegroundWindowOfThisProcessOnly) {
  system_.foregrounds = {kOtherThread};
  ShowMessage("t", "x");
  EXPECT_EQ(system_.boxes[0].owner, kOtherThread);
  system_.foregrounds = {kOtherProcess};
  system_.foregroundQuestions = 0;
  ShowMessage("t", "x");
  EXPECT_EQ(system_.boxes[1].owner, nullptr);
}

TEST_F(OwnWindowsTest, ForegroundIsAskedAnewForEachWindow) {
  // The second window has come to the foreground by the time it is seen.
  system_.foregrounds = {nullptr, nullptr, kSecond};
  DisableOwnWindows(true);
  EXPECT_EQ(Enabled(), (std::vector<bool>{false, true, false, false, true, true, true}));
  DisableOwnWindows(false);
}

TEST_F(OwnWindowsTest, RestoreEnablesOnlyTheCallingThreadsWindows) {
  DisableOwnWindows(true);
  system_.thread = 200;
  DisableOwnWindows(true);
  EXPECT_EQ(Enabled(), (std::vector<bool>{false, true, false, false, false, true, false}));
  system_.thread = FakeSystem::kThread;
  DisableOwnWindows(false);
  EXPECT_EQ(Enabled(), (std::vector<bool>{true, true, false, true, false, true, true}));
  ASSERT_EQ(DisabledWindowList.size(), 1u);
  EXPECT_EQ(DisabledWindowList.front().window, kOtherThread);
  system_.thread = 200;
  DisableOwnWindows(false);
  EXPECT_TRUE(DisabledWindowList.empty());
  EXPECT_EQ(Enabled()[4], true);
}

}  // namespace
