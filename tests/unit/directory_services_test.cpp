#include "platform/directory_services.h"

#include "platform/directory_services_system.h"
#include "platform/system.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>

namespace {

namespace fs = std::filesystem;

constexpr char kSeparator = system_facts::kPathSeparator;

// The table as the system filled it; every test gets it back.
const DirectorySystemCalls kSystemCalls = DirectorySystem();

// Each test works in a directory of its own below the system's temporary
// directory and removes it at the end with std::filesystem.
class DirectoryServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string testName = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
    base_ =
        (fs::temp_directory_path() / ("trennwick_dirs_" + testName + "_" + std::to_string(tick)))
            .string();
    ASSERT_TRUE(fs::create_directory(base_));
  }

  void TearDown() override {
    DirectorySystem() = kSystemCalls;
    // Read-only files would stop remove_all on Windows.
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(base_, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
      std::error_code ignored;
      if (!it->is_symlink(ignored)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
      }
    }
    fs::remove_all(base_, error);
    EXPECT_FALSE(error) << error.message();
  }

  // A path below the test's directory, written with '/' in the test.
  std::string Path(const std::string& relative) const {
    std::string path = base_ + kSeparator + relative;
    for (char& c : path) {
      if (c == '/') c = kSeparator;
    }
    return path;
  }
  void MakeDir(const std::string& relative) const { fs::create_directories(Path(relative)); }
  void MakeFile(const std::string& relative) const {
    std::FILE* file = std::fopen(Path(relative).c_str(), "wb");
    ASSERT_NE(file, nullptr) << relative;
    std::fputs("x", file);
    std::fclose(file);
  }
  void MakeReadOnly(const std::string& relative) const {
    fs::permissions(Path(relative), fs::perms::owner_write, fs::perm_options::remove);
  }
  bool Exists(const std::string& relative) const {
    return fs::exists(fs::symlink_status(Path(relative)));
  }
  std::set<std::string> Names(const std::string& relative) const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(Path(relative))) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  std::string base_;
};

// Records which system calls were asked for and refuses them all.
int gSystemCallsAsked = 0;
std::string gCreationAsked;
bool RefuseCreation(const std::string& path) {
  ++gSystemCallsAsked;
  gCreationAsked = path;
  return false;
}
bool RefuseOpening(const WalkedDirectory*, const std::string&, WalkedDirectory&) {
  ++gSystemCallsAsked;
  return false;
}
bool DeleteAllButB(const WalkedDirectory& directory, const std::string& name) {
  return name != "b.txt" && kSystemCalls.deleteFile(directory, name);
}
bool ResetNothing(const WalkedDirectory&, const std::string&) {
  return false;
}

TEST_F(DirectoryServicesTest, MakeDirectoryIgnoresTrailingBlanksAndSeparators) {
  EXPECT_NE(MakeDirectory(Path("a") + "\\"), 0);
  EXPECT_NE(MakeDirectory(Path("b") + " \\/"), 0);
  EXPECT_NE(MakeDirectory(Path("c") + "/ \\ "), 0);
  EXPECT_EQ(Names(""), (std::set<std::string>{"a", "b", "c"}));
}

TEST_F(DirectoryServicesTest, MakeDirectoryCreatesOnlyANewLastDirectory) {
  EXPECT_EQ(MakeDirectory(Path("missing/child")), 0);
  EXPECT_FALSE(Exists("missing"));
  MakeDir("there");
  EXPECT_EQ(MakeDirectory(Path("there")), 0);
  EXPECT_EQ(MakeDirectory(Path("there") + kSeparator), 0);
}

TEST_F(DirectoryServicesTest, MakeDirectoryHandsTheSystemTheBareNameAndReportsARefusal) {
  DirectorySystem().createDirectory = RefuseCreation;
  EXPECT_EQ(MakeDirectory(Path("d") + " \\/ "), 0);
  EXPECT_EQ(gCreationAsked, Path("d"));
  EXPECT_FALSE(Exists("d"));
}

TEST_F(DirectoryServicesTest, TextsThatNameNoDirectoryReachNoSystemCall) {
  DirectorySystem().createDirectory = RefuseCreation;
  DirectorySystem().openDirectory = RefuseOpening;
  gSystemCallsAsked = 0;
  EXPECT_EQ(MakeDirectory("\\\\\\"), 0);
  EXPECT_EQ(MakeDirectory(" / \\ "), 0);
  EXPECT_EQ(MakeDirectory(""), 0);
  EXPECT_EQ(MakeDirectory(Path("e") + std::string(1, '\0') + "f"), 0);
  EXPECT_EQ(RemoveDirectoryTree("", "", RemoveRecursive), 0);
  EXPECT_EQ(RemoveDirectoryTree(Path("t") + std::string(1, '\0') + "u", "", RemoveRecursive), 0);
  // A search pattern that reaches into another directory, or would be cut
  // short at a NUL.
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), "..\\*.*", RemoveRecursive), 0);
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), "../*.*", RemoveRecursive), 0);
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), std::string("*\0.iso", 6), RemoveRecursive), 0);
  EXPECT_EQ(gSystemCallsAsked, 0);
}

TEST_F(DirectoryServicesTest, RemovesANestedTreeWithOrWithoutATrailingSeparator) {
  for (const std::string tree : {"t1", "t2"}) {
    MakeDir(tree + "/sub/deeper");
    MakeDir(tree + "/empty");
    MakeFile(tree + "/a.txt");
    MakeFile(tree + "/noext");
    MakeFile(tree + "/.hidden");
    MakeFile(tree + "/sub/b.txt");
    MakeFile(tree + "/sub/deeper/c");
  }
  EXPECT_NE(RemoveDirectoryTree(Path("t1"), "", RemoveRecursive), 0);
  EXPECT_NE(RemoveDirectoryTree(Path("t2") + kSeparator, "", RemoveRecursive), 0);
  EXPECT_TRUE(Names("").empty());
}

TEST_F(DirectoryServicesTest, WithoutRecursionSubdirectoriesStayAndSoDoesTheDirectory) {
  for (const std::string tree : {"t1", "t2"}) {
    MakeDir(tree + "/sub");
    MakeFile(tree + "/a.txt");
    MakeFile(tree + "/noext");
    MakeFile(tree + "/sub/b.txt");
  }
  EXPECT_EQ(RemoveDirectoryTree(Path("t1"), ""), 0);
  EXPECT_EQ(RemoveDirectoryTree(Path("t2") + kSeparator, "*.*", 0), 0);
  for (const std::string tree : {"t1", "t2"}) {
    EXPECT_EQ(Names(tree), std::set<std::string>{"sub"});
    EXPECT_TRUE(Exists(tree + "/sub/b.txt"));
  }
}

TEST_F(DirectoryServicesTest, AReadOnlyFileStaysUnlessAttributesAreReset) {
  MakeDir("t/sub");
  MakeFile("t/ro.txt");
  MakeFile("t/rw.txt");
  MakeFile("t/sub/ro");
  MakeReadOnly("t/ro.txt");
  MakeReadOnly("t/sub/ro");
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), "", RemoveRecursive), 0);
  EXPECT_EQ(Names("t"), (std::set<std::string>{"ro.txt", "sub"}));
  EXPECT_EQ(Names("t/sub"), std::set<std::string>{"ro"});
  EXPECT_NE(RemoveDirectoryTree(Path("t"), "", RemoveRecursive | RemoveResetAttributes), 0);
  EXPECT_FALSE(Exists("t"));
}

TEST_F(DirectoryServicesTest, AReadOnlyFileWhoseResetFailsStays) {
  MakeDir("t");
  MakeFile("t/ro.txt");
  MakeFile("t/rw.txt");
  MakeReadOnly("t/ro.txt");
  DirectorySystem().makeFileNormal = ResetNothing;
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), "", RemoveRecursive | RemoveResetAttributes), 0);
  EXPECT_EQ(Names("t"), std::set<std::string>{"ro.txt"});
}

TEST_F(DirectoryServicesTest, ARefusedDeletionDoesNotStopTheWalk) {
  MakeDir("t/sub");
  for (const char* name : {"t/a.txt", "t/b.txt", "t/c.txt", "t/sub/d.txt"}) MakeFile(name);
  DirectorySystem().deleteFile = DeleteAllButB;
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), "", RemoveRecursive), 0);
  EXPECT_EQ(Names("t"), std::set<std::string>{"b.txt"});
}

TEST_F(DirectoryServicesTest, APatternSelectsFilesAndSubdirectoriesAlike) {
  MakeDir("t/images");
  MakeDir("t/old.iso");
  for (const char* name : {"t/a.iso", "t/B.ISO", "t/keep.txt", "t/noext", "t/images/x.iso",
                           "t/old.iso/y.iso", "t/old.iso/y.txt"}) {
    MakeFile(name);
  }
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), "*.iso", RemoveRecursive), 0);
  EXPECT_EQ(Names("t"), (std::set<std::string>{"images", "keep.txt", "noext", "old.iso"}));
  EXPECT_EQ(Names("t/images"), std::set<std::string>{"x.iso"});
  EXPECT_EQ(Names("t/old.iso"), std::set<std::string>{"y.txt"});

  MakeDir("only/d.iso");
  MakeFile("only/c.iso");
  MakeFile("only/d.iso/e.iso");
  EXPECT_NE(RemoveDirectoryTree(Path("only"), "*.iso", RemoveRecursive), 0);
  EXPECT_FALSE(Exists("only"));
}

TEST_F(DirectoryServicesTest, NothingFoundRemovesNothingNotEvenAnEmptyDirectory) {
  MakeDir("empty");
  MakeDir("full");
  MakeFile("full/a.txt");
  EXPECT_EQ(RemoveDirectoryTree(Path("empty"), "*.iso", RemoveRecursive), 0);
  EXPECT_EQ(RemoveDirectoryTree(Path("full"), "*.iso", RemoveRecursive), 0);
  EXPECT_EQ(RemoveDirectoryTree(Path("missing"), "", RemoveRecursive), 0);
  EXPECT_TRUE(Exists("empty"));
  EXPECT_TRUE(Exists("full/a.txt"));
  // The default pattern finds "." in an empty directory.
  EXPECT_NE(RemoveDirectoryTree(Path("empty"), ""), 0);
  EXPECT_FALSE(Exists("empty"));
}

TEST_F(DirectoryServicesTest, LinksInTheTreeAreRemovedNeverFollowed) {
  MakeDir("outside");
  MakeFile("outside/keep.txt");
  MakeFile("outside/ro.txt");
  MakeReadOnly("outside/ro.txt");
  MakeDir("t/sub");
  std::error_code error;
  fs::create_directory_symlink(Path("outside"), Path("t/dirlink"), error);
  if (error) GTEST_SKIP() << "no symbolic links on this system: " << error.message();
  fs::create_directory_symlink(Path("outside"), Path("t/sub/deeplink"));
  fs::create_symlink(Path("outside/ro.txt"), Path("t/filelink"));
  fs::create_directory_symlink(Path("outside"), Path("linktree"));

  EXPECT_EQ(RemoveDirectoryTree(Path("linktree"), "", RemoveRecursive | RemoveResetAttributes), 0);
  EXPECT_EQ(RemoveDirectoryTree(Path("linktree") + kSeparator, "", RemoveRecursive), 0);
  EXPECT_TRUE(Exists("linktree"));
  EXPECT_NE(RemoveDirectoryTree(Path("t"), "", RemoveRecursive | RemoveResetAttributes), 0);
  EXPECT_FALSE(Exists("t"));
  EXPECT_EQ(Names("outside"), (std::set<std::string>{"keep.txt", "ro.txt"}));
  EXPECT_EQ(fs::status(Path("outside/ro.txt")).permissions() & fs::perms::owner_write,
            fs::perms::none);
}

// Cutting a path at the room would name another directory: refused instead.
// The room is made small here so that the system itself takes every text.
TEST_F(DirectoryServicesTest, PathsBeyondTheRoomTouchNothing) {
  const std::size_t room = base_.size() + 30;
  const std::string atRoom(room - base_.size() - 1, 'q');  // Path(atRoom) fills the room
  MakeDir(atRoom + "/inner");
  MakeFile(atRoom + "/keep.txt");
  MakeFile(atRoom + "/inner/keep.txt");
  DirectorySystem().pathRoom = room;
  EXPECT_EQ(RemoveDirectoryTree(Path(atRoom + "/inner"), "", RemoveRecursive), 0);
  EXPECT_EQ(MakeDirectory(Path(atRoom.substr(1) + "xyz")), 0);
  EXPECT_EQ(Names(""), std::set<std::string>{atRoom});
  EXPECT_EQ(Names(atRoom), (std::set<std::string>{"inner", "keep.txt"}));
  EXPECT_EQ(Names(atRoom + "/inner"), std::set<std::string>{"keep.txt"});
}

TEST_F(DirectoryServicesTest, EntriesBeyondTheRoomAreLeftAlone) {
  MakeDir("t/deepdir8");
  MakeFile("t/short");
  MakeFile("t/longname_11");
  MakeFile("t/deepdir8/x");
  // "t/" and 10 more characters fit: "t/deepdir8" does, "t/deepdir8/*.*" not.
  DirectorySystem().pathRoom = Path("t/").size() + 10;
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), "", RemoveRecursive), 0);
  EXPECT_EQ(Names("t"), (std::set<std::string>{"deepdir8", "longname_11"}));
  EXPECT_TRUE(Exists("t/deepdir8/x"));
}

// Windows has a room of 260 characters; on Linux long paths work whole.
TEST_F(DirectoryServicesTest, LongPathsWorkWholeOrNotAtAll) {
  const std::string longDirectory = std::string(150, 'l') + "/" + std::string(150, 'm');
  MakeDir(longDirectory);
  MakeFile(longDirectory + "/f.txt");
  const bool fits = Path(longDirectory + "/n/*.*").size() <= DirectorySystem().pathRoom;
  EXPECT_EQ(MakeDirectory(Path(longDirectory + "/n")) != 0, fits);
  EXPECT_EQ(Exists(longDirectory + "/n"), fits);
  EXPECT_EQ(RemoveDirectoryTree(Path(longDirectory), "", RemoveRecursive) != 0, fits);
  EXPECT_EQ(Exists(longDirectory + "/f.txt"), !fits);
  // remove_all cannot list paths this long under Wine; named removals can.
  std::error_code error;
  fs::remove(Path(longDirectory + "/f.txt"), error);
  fs::remove(Path(longDirectory + "/n"), error);
  fs::remove(Path(longDirectory), error);
}

}  // namespace
