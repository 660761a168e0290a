#include "platform/directory_services.h"

#include "platform/directory_services_system.h"
#include "platform/system.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <set>
#include <string>
#include <system_error>

namespace {

namespace fs = std::filesystem;
using Names = std::set<std::string>;

constexpr char kSeparator = system_facts::kPathSeparator;

// The table as the system filled it; every test gets it back.
const DirectorySystemCalls kSystemCalls = DirectorySystem();

// Each test works in a directory of its own below the system's temporary
// directory, removed at the end with std::filesystem. Paths in the tests are
// written with '/'.
class DirectoryServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
    base_ = (fs::temp_directory_path() / ("trennwick_" + name + std::to_string(tick))).string();
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

  std::string Path(const std::string& relative) const {
    std::string path = base_ + kSeparator + relative;
    for (char& c : path) {
      if (c == '/') c = kSeparator;
    }
    return path;
  }
  // A name ending with '/' is a directory, any other a file.
  void Make(std::initializer_list<std::string> relatives) const {
    for (const std::string& relative : relatives) {
      fs::create_directories(fs::path(Path(relative)).parent_path());
      if (relative.back() == '/') continue;
      std::FILE* file = std::fopen(Path(relative).c_str(), "wb");
      ASSERT_NE(file, nullptr) << relative;
      std::fclose(file);
    }
  }
  void MakeReadOnly(const std::string& relative) const {
    fs::permissions(Path(relative), fs::perms::owner_write, fs::perm_options::remove);
  }
  bool Exists(const std::string& relative) const {
    return fs::exists(fs::symlink_status(Path(relative)));
  }
  Names In(const std::string& relative) const {
    Names names;
    for (const auto& entry : fs::directory_iterator(Path(relative))) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  std::string base_;
};

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

TEST_F(DirectoryServicesTest, MakeDirectoryCreatesOnlyTheNamedLastDirectory) {
  EXPECT_NE(MakeDirectory(Path("a") + "\\"), 0);
  EXPECT_NE(MakeDirectory(Path("b") + " \\/"), 0);
  EXPECT_NE(MakeDirectory(Path("c") + "/ \\ "), 0);
  EXPECT_EQ(MakeDirectory(Path("c")), 0);
  EXPECT_EQ(MakeDirectory(Path("missing/child")), 0);
  EXPECT_EQ(In(""), (Names{"a", "b", "c"}));
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
  const std::string nul(1, '\0');
  EXPECT_EQ(MakeDirectory("\\\\\\"), 0);
  EXPECT_EQ(MakeDirectory(" / \\ "), 0);
  EXPECT_EQ(MakeDirectory(Path("e") + nul + "f"), 0);
  EXPECT_EQ(RemoveDirectoryTree("", "", RemoveRecursive), 0);
  EXPECT_EQ(RemoveDirectoryTree(Path("t") + nul + "u", "", RemoveRecursive), 0);
  // Patterns that would search another directory, or be cut at the NUL.
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), "..\\*.*", RemoveRecursive), 0);
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), "../*.*", RemoveRecursive), 0);
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), "*" + nul + ".iso", RemoveRecursive), 0);
  EXPECT_EQ(gSystemCallsAsked, 0);
}

TEST_F(DirectoryServicesTest, RemovesANestedTreeWithOrWithoutATrailingSeparator) {
  for (const std::string t : {"t1/", "t2/"}) {
    Make({t + "a.txt", t + "noext", t + ".hidden", t + "empty/", t + "sub/b.txt",
          t + "sub/deeper/c"});
  }
  EXPECT_NE(RemoveDirectoryTree(Path("t1"), "", RemoveRecursive), 0);
  EXPECT_NE(RemoveDirectoryTree(Path("t2") + kSeparator, "", RemoveRecursive), 0);
  EXPECT_TRUE(In("").empty());
}

TEST_F(DirectoryServicesTest, WithoutRecursionSubdirectoriesStayAndSoDoesTheDirectory) {
  for (const std::string t : {"t1/", "t2/"}) Make({t + "a.txt", t + "noext", t + "sub/b.txt"});
  EXPECT_EQ(RemoveDirectoryTree(Path("t1"), ""), 0);
  EXPECT_EQ(RemoveDirectoryTree(Path("t2") + kSeparator, "*.*", 0), 0);
  for (const std::string t : {"t1", "t2"}) {
    EXPECT_EQ(In(t), Names{"sub"});
    EXPECT_EQ(In(t + "/sub"), Names{"b.txt"});
  }
}

TEST_F(DirectoryServicesTest, AReadOnlyFileStaysUnlessAttributesAreReset) {
  Make({"t/ro.txt", "t/rw.txt", "t/sub/ro"});
  MakeReadOnly("t/ro.txt");
  MakeReadOnly("t/sub/ro");
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), "", RemoveRecursive), 0);
  EXPECT_EQ(In("t"), (Names{"ro.txt", "sub"}));
  EXPECT_EQ(In("t/sub"), Names{"ro"});
  EXPECT_NE(RemoveDirectoryTree(Path("t"), "", RemoveRecursive | RemoveResetAttributes), 0);
  EXPECT_FALSE(Exists("t"));
}

// Root may unlink a read-only file on Linux: the walk itself must refuse.
TEST_F(DirectoryServicesTest, AReadOnlyFileWhoseResetFailsStays) {
  Make({"t/ro.txt", "t/rw.txt"});
  MakeReadOnly("t/ro.txt");
  DirectorySystem().makeFileNormal = ResetNothing;
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), "", RemoveRecursive | RemoveResetAttributes), 0);
  EXPECT_EQ(In("t"), Names{"ro.txt"});
}

TEST_F(DirectoryServicesTest, ARefusedDeletionDoesNotStopTheWalk) {
  Make({"t/a.txt", "t/b.txt", "t/c.txt", "t/sub/d.txt"});
  DirectorySystem().deleteFile = DeleteAllButB;
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), "", RemoveRecursive), 0);
  EXPECT_EQ(In("t"), Names{"b.txt"});
}

TEST_F(DirectoryServicesTest, APatternSelectsFilesAndSubdirectoriesAlike) {
  Make({"t/a.iso", "t/B.ISO", "t/keep.txt", "t/noext", "t/images/x.iso", "t/old.iso/y.iso",
        "t/old.iso/y.txt"});
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), "*.iso", RemoveRecursive), 0);
  EXPECT_EQ(In("t"), (Names{"images", "keep.txt", "noext", "old.iso"}));
  EXPECT_EQ(In("t/images"), Names{"x.iso"});
  EXPECT_EQ(In("t/old.iso"), Names{"y.txt"});

  Make({"only/c.iso", "only/d.iso/e.iso"});
  EXPECT_NE(RemoveDirectoryTree(Path("only"), "*.iso", RemoveRecursive), 0);
  EXPECT_FALSE(Exists("only"));
}

// ".*" at the end also takes a name without a dot; a bracket is a character.
TEST_F(DirectoryServicesTest, PatternsReadAsOnWindows) {
  Make({"t/x", "t/x.txt", "t/X.Y.Z", "t/xy", "t/y.x", "t/[a].txt", "t/a.txt"});
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), "x.*"), 0);
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), "[a].txt"), 0);
  EXPECT_EQ(In("t"), (Names{"xy", "y.x", "a.txt"}));
}

TEST_F(DirectoryServicesTest, NothingFoundRemovesNothingNotEvenAnEmptyDirectory) {
  Make({"empty/", "full/a.txt"});
  EXPECT_EQ(RemoveDirectoryTree(Path("empty"), "*.iso", RemoveRecursive), 0);
  EXPECT_EQ(RemoveDirectoryTree(Path("full"), "*.iso", RemoveRecursive), 0);
  EXPECT_EQ(RemoveDirectoryTree(Path("missing"), "", RemoveRecursive), 0);
  EXPECT_EQ(In(""), (Names{"empty", "full"}));
  EXPECT_EQ(In("full"), Names{"a.txt"});
  // The default pattern finds "." in an empty directory.
  EXPECT_NE(RemoveDirectoryTree(Path("empty"), ""), 0);
}

// Wine 8 makes no symbolic links; the test is skipped there.
TEST_F(DirectoryServicesTest, LinksAreRemovedNeverFollowed) {
  Make({"outside/keep.txt", "outside/ro.txt", "t/sub/"});
  MakeReadOnly("outside/ro.txt");
  std::error_code error;
  fs::create_directory_symlink(Path("outside"), Path("t/dirlink"), error);
  if (error) GTEST_SKIP() << "no symbolic links on this system: " << error.message();
  fs::create_directory_symlink(Path("outside"), Path("t/sub/deeplink"));
  fs::create_symlink(Path("outside/ro.txt"), Path("t/filelink"));
  fs::create_directory_symlink(Path("outside"), Path("linktree"));

  EXPECT_EQ(RemoveDirectoryTree(Path("linktree"), "", RemoveRecursive | RemoveResetAttributes), 0);
  EXPECT_EQ(RemoveDirectoryTree(Path("linktree") + kSeparator, "", RemoveRecursive), 0);
  EXPECT_NE(RemoveDirectoryTree(Path("t"), "", RemoveRecursive | RemoveResetAttributes), 0);
  EXPECT_EQ(In(""), (Names{"linktree", "outside"}));
  EXPECT_EQ(In("outside"), (Names{"keep.txt", "ro.txt"}));
  EXPECT_EQ(fs::status(Path("outside/ro.txt")).permissions() & fs::perms::owner_write,
            fs::perms::none);
}

TEST_F(DirectoryServicesTest, AStampChangesWithAnyChangeBelowTheEntryAndOnlyThen) {
  Make({"lock/owner", "lock/inner/held", "other.txt"});
  const std::optional<TreeStamp> first = StampOfEntry(Path(""), "lock");
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->entries, 4);  // the lock, owner, inner, held
  EXPECT_EQ(StampOfEntry(Path(""), "lock"), first);
  // Beside the entry is not in it.
  fs::last_write_time(Path("other.txt"),
                      fs::last_write_time(Path("other.txt")) + std::chrono::hours(1));
  EXPECT_EQ(StampOfEntry(Path(""), "lock"), first);

  const fs::path held = Path("lock/inner/held");
  fs::last_write_time(held, fs::last_write_time(held) + std::chrono::hours(1));
  const std::optional<TreeStamp> touched = StampOfEntry(Path(""), "lock");
  EXPECT_NE(touched, first);
  Make({"lock/inner/new"});
  EXPECT_NE(StampOfEntry(Path(""), "lock"), touched);

  EXPECT_EQ(StampOfEntry(Path(""), "LOCK"), std::nullopt);
  EXPECT_EQ(StampOfEntry(Path(""), "missing"), std::nullopt);
  EXPECT_EQ(StampOfEntry(Path(""), "lo*"), std::nullopt);
  // A plain file can be a lock too.
  EXPECT_EQ(StampOfEntry(Path(""), "other.txt")->entries, 1);
}

// A path cut at the room would name another directory. The room is made
// small here, so that the system would take every text handed to it.
TEST_F(DirectoryServicesTest, AFileHeldOpenWithoutDeleteSharingIsInUseOnWindowsOnly) {
  Make({"t/a.txt", "t/sub/deep.log"});
  EXPECT_FALSE(FileInUseBelow(Path("t")));
  {
    // The C library opens without delete sharing, as many programs do.
    std::ofstream held(Path("t/sub/deep.log"), std::ios::app);
    ASSERT_TRUE(held.is_open());
    EXPECT_EQ(FileInUseBelow(Path("t")), kSeparator == '\\');
  }
  EXPECT_FALSE(FileInUseBelow(Path("t")));
  EXPECT_FALSE(FileInUseBelow(Path("missing")));
}

TEST_F(DirectoryServicesTest, PathsBeyondTheRoomTouchNothing) {
  const std::string q(29, 'q');  // Path(q) fills the room
  Make({q + "/keep.txt", q + "/inner/keep.txt"});
  DirectorySystem().pathRoom = Path(q).size();
  EXPECT_EQ(RemoveDirectoryTree(Path(q + "/inner"), "", RemoveRecursive), 0);
  EXPECT_EQ(MakeDirectory(Path(q.substr(1) + "xyz")), 0);
  EXPECT_EQ(In(""), Names{q});
  EXPECT_EQ(In(q), (Names{"inner", "keep.txt"}));
  EXPECT_EQ(In(q + "/inner"), Names{"keep.txt"});
}

TEST_F(DirectoryServicesTest, EntriesBeyondTheRoomAreLeftAlone) {
  Make({"t/short", "t/longname_11", "t/deepdir8/x"});
  // "t/" and 10 more characters fit: "t/deepdir8" does, "t/deepdir8/*.*" not.
  DirectorySystem().pathRoom = Path("t/").size() + 10;
  EXPECT_EQ(RemoveDirectoryTree(Path("t"), "", RemoveRecursive), 0);
  EXPECT_EQ(In("t"), (Names{"deepdir8", "longname_11"}));
  EXPECT_EQ(In("t/deepdir8"), Names{"x"});
}

// Windows has its room of 260 characters; Linux takes long paths whole.
TEST_F(DirectoryServicesTest, LongPathsWorkWholeOrNotAtAll) {
  const std::string longPath = std::string(150, 'l') + "/" + std::string(150, 'm');
  Make({longPath + "/f.txt"});
  const bool fits = Path(longPath + "/n/*.*").size() <= DirectorySystem().pathRoom;
  EXPECT_EQ(MakeDirectory(Path(longPath + "/n")) != 0, fits);
  EXPECT_EQ(Exists(longPath + "/n"), fits);
  EXPECT_EQ(RemoveDirectoryTree(Path(longPath), "", RemoveRecursive) != 0, fits);
  EXPECT_EQ(Exists(longPath + "/f.txt"), !fits);
  // remove_all cannot list paths this long under Wine; named removals can.
  std::error_code error;
  fs::remove(Path(longPath + "/f.txt"), error);
  fs::remove(Path(longPath), error);
}

}  // namespace
