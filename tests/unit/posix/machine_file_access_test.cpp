// The POSIX side of the machine's files: resolution through links, the
// private-folder test, and the hand-over opens that never follow a link.
#include "player/host/machine_file_access.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/unit/test_directory.h"

namespace {

namespace fs = std::filesystem;

std::string Real(const fs::path& path) {
  return fs::canonical(path).string();
}

TEST(MachineFileAccess, ResolvesLinksDotsAndMissingNames) {
  TestDirectory directory;
  const fs::path vm = directory.path() / "vm";
  fs::create_directory(vm);
  WriteBytes(directory.path() / "victim", "secret");
  fs::create_symlink(directory.path() / "victim", vm / "log.txt");
  fs::create_symlink(directory.path() / "nothing", vm / "dangling");
  std::string resolved;
  ASSERT_TRUE(ResolveFilePath((vm / "log.txt").string(), &resolved));
  EXPECT_EQ(resolved, Real(directory.path() / "victim"));
  ASSERT_TRUE(ResolveFilePath((vm / ".." / "victim").string(), &resolved));
  EXPECT_EQ(resolved, Real(directory.path() / "victim"));
  // A missing name stays below its resolved folder; a dangling link does not resolve.
  ASSERT_TRUE(ResolveFilePath((vm / ".." / "vm" / "new.log").string(), &resolved));
  EXPECT_EQ(resolved, Real(vm) + "/new.log");
  EXPECT_FALSE(ResolveFilePath((vm / "dangling").string(), &resolved));
  EXPECT_FALSE(ResolveFilePath((vm / "gone" / "new.log").string(), &resolved));
}

TEST(MachineFileAccess, PrivateMeansOwnedAndWritableByNobodyElse) {
  TestDirectory directory;
  const fs::path folder = directory.path() / "run";
  fs::create_directory(folder);
  chmod(folder.c_str(), 0700);
  EXPECT_TRUE(PrivateToCurrentUser(folder.string()));
  chmod(folder.c_str(), 0755);
  EXPECT_TRUE(PrivateToCurrentUser(folder.string()));
  chmod(folder.c_str(), 0775);
  EXPECT_FALSE(PrivateToCurrentUser(folder.string()));
  chmod(folder.c_str(), 0757);
  EXPECT_FALSE(PrivateToCurrentUser(folder.string()));
  chmod(folder.c_str(), 0700);
  fs::create_directory_symlink(folder, directory.path() / "link");
  EXPECT_FALSE(PrivateToCurrentUser((directory.path() / "link").string()));
  // Another user's folder, however closed, is not the user's (only root
  // can make one here).
  if (geteuid() == 0) {
    const fs::path foreign = directory.path() / "foreign";
    fs::create_directory(foreign);
    chmod(foreign.c_str(), 0700);
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(PrivateToCurrentUser(foreign.string()));
  }
  // /tmp is everyone's to write.
  EXPECT_FALSE(PrivateToCurrentUser("/tmp"));
}

TEST(MachineFileAccess, HandsOverOnlyWhatWasCheckedAndNeverCutsShort) {
  TestDirectory directory;
  const fs::path victim = directory.path() / "victim";
  WriteBytes(victim, "keep");
  fs::create_symlink(victim, directory.path() / "link");
  HandedDescriptors held;
  // The last step never follows a link, in any mode.
  for (HandOverMode mode : {HandOverMode::kRead, HandOverMode::kReadWrite, HandOverMode::kAppend}) {
    EXPECT_EQ(OpenForHandOver((directory.path() / "link").string(), mode, false, &held.all()),
              OpenResult::kUnfit);
  }
  EXPECT_TRUE(held.all().empty());

  ASSERT_EQ(OpenForHandOver(victim.string(), HandOverMode::kReadWrite, false, &held.all()),
            OpenResult::kOpened);
  ASSERT_EQ(held.all().size(), 2u);
  EXPECT_EQ(fcntl(held.all()[0], F_GETFL) & O_ACCMODE, O_RDWR);
  EXPECT_EQ(fcntl(held.all()[1], F_GETFL) & O_ACCMODE, O_RDONLY);
  EXPECT_NE(fcntl(held.all()[0], F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(fcntl(held.all()[0], F_GETFL) & O_NONBLOCK, 0);

  std::vector<int> serial;
  ASSERT_EQ(OpenForHandOver(victim.string(), HandOverMode::kAppend, false, &serial),
            OpenResult::kOpened);
  ASSERT_EQ(write(serial[0], "+", 1), 1);
  close(serial[0]);
  EXPECT_EQ(ReadBytes(victim), "keep+");
  std::vector<int> created;
  ASSERT_EQ(OpenForHandOver((directory.path() / "new.log").string(), HandOverMode::kAppend, false,
                            &created),
            OpenResult::kOpened);
  close(created[0]);
  EXPECT_TRUE(fs::is_regular_file(directory.path() / "new.log"));

  // A FIFO or a folder in the file's place is refused without waiting.
  const fs::path fifo = directory.path() / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::vector<int> none;
  EXPECT_EQ(OpenForHandOver(fifo.string(), HandOverMode::kRead, true, &none), OpenResult::kUnfit);
  EXPECT_EQ(OpenForHandOver(directory.path().string(), HandOverMode::kRead, false, &none),
            OpenResult::kUnfit);
  EXPECT_TRUE(none.empty());
  std::string bytes;
  EXPECT_EQ(ReadSmallFile(fifo.string(), 100, &bytes), SmallFileResult::kNotAFile);
}

// What the plan reads and what QEMU gets is one file: a name swapped after
// the check no longer hands anything over.
TEST(MachineFileAccess, HoldsTheCheckedFileAndHandsOverOnlyThatOne) {
  TestDirectory directory;
  const fs::path image = directory.path() / "disk.img";
  WriteBytes(image, "0123456789");
  HeldFiles held;
  std::size_t number = 99;
  ASSERT_EQ(held.Open(Real(image), false, &number), OpenResult::kOpened);
  EXPECT_EQ(held.Size(number), 10u);
  EXPECT_EQ(held.LinkCount(number), 1u);
  std::string bytes;
  ASSERT_TRUE(held.ReadAt(number, 8, 100, &bytes));
  EXPECT_EQ(bytes, "89");
  ASSERT_TRUE(held.ReadAt(number, 20, 4, &bytes));
  EXPECT_EQ(bytes, "");
  // A second name of the same file shows.
  fs::create_hard_link(image, directory.path() / "other-name");
  EXPECT_EQ(held.LinkCount(number), 2u);

  HandedDescriptors handed;
  ASSERT_EQ(held.OpenForHandOver(number, HandOverMode::kReadWrite, &handed.all()),
            OpenResult::kOpened);
  EXPECT_EQ(handed.all().size(), 2u);
  // Another file under the checked name is refused.
  fs::rename(image, directory.path() / "moved.img");
  WriteBytes(image, "swapped");
  std::vector<int> none;
  EXPECT_EQ(held.OpenForHandOver(number, HandOverMode::kRead, &none), OpenResult::kUnfit);
  EXPECT_TRUE(none.empty());
  // The held file is still the one that was read, and its name is not
  // held a second time for the file now in its place.
  ASSERT_TRUE(held.ReadAt(number, 0, 2, &bytes));
  EXPECT_EQ(bytes, "01");
  std::size_t again = 99;
  EXPECT_EQ(held.Open(Real(image), false, &again), OpenResult::kUnfit);
  EXPECT_EQ(again, 99u);
  // The same file under a name held already keeps its one number.
  const std::string moved = Real(directory.path() / "moved.img");
  ASSERT_EQ(held.Open(moved, false, &again), OpenResult::kOpened);
  std::size_t same = 99;
  ASSERT_EQ(held.Open(moved, false, &same), OpenResult::kOpened);
  EXPECT_EQ(same, again);

  // A link, a FIFO or a folder is never held.
  fs::create_symlink(image, directory.path() / "link");
  const fs::path fifo = directory.path() / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(held.Open((directory.path() / "link").string(), false, &number), OpenResult::kUnfit);
  EXPECT_EQ(held.Open(fifo.string(), true, &number), OpenResult::kUnfit);
  EXPECT_EQ(held.Open(Real(directory.path()), false, &number), OpenResult::kUnfit);
  EXPECT_EQ(held.Open((directory.path() / "missing").string(), false, &number), OpenResult::kUnfit);
}

// Out of descriptors is no changed file: the open says which it is, and
// the limit it met, which the program raises as far as it may.
TEST(MachineFileAccess, TellsRunningOutOfDescriptorsApartFromAnUnfitFile) {
  TestDirectory directory;
  const fs::path image = directory.path() / "disk.img";
  WriteBytes(image, "0123456789");
  // The lowest free number as the limit: no further descriptor fits below it.
  const int lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(lowest, 0);
  close(lowest);
  struct rlimit was {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &was), 0);
  struct rlimit tight = was;
  tight.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  HeldFiles held;
  std::size_t number = 0;
  const OpenResult heldResult = held.Open(Real(image), false, &number);
  std::vector<int> none;
  const OpenResult handed = OpenForHandOver(Real(image), HandOverMode::kRead, false, &none);
  const long long limit = OpenFileLimit();
  // The program raises its limit as far as the system lets it.
  RaiseOpenFileLimit();
  struct rlimit raised {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &raised), 0);
  // With descriptors to spare the same file opens.
  const OpenResult again = held.Open(Real(image), false, &number);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &was), 0);
  EXPECT_EQ(heldResult, OpenResult::kTooManyFiles);
  EXPECT_EQ(handed, OpenResult::kTooManyFiles);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(limit, lowest);
  EXPECT_EQ(raised.rlim_cur, was.rlim_max);
  EXPECT_EQ(again, OpenResult::kOpened);
}

// The root of the system and of every mounted file system, and a bind
// mount of a folder (same device, only the mount table tells it); a folder
// on the same file system is none.
TEST(MachineFileAccess, TellsRootsOfMountedFileSystemsFromFolders) {
  TestDirectory directory;
  fs::create_directory(directory.path() / "vm");
  EXPECT_TRUE(IsVolumeRoot("/"));
  EXPECT_TRUE(IsVolumeRoot("/proc/"));
  EXPECT_FALSE(IsVolumeRoot(Real(directory.path() / "vm") + "/"));
  EXPECT_FALSE(IsVolumeRoot("/proc/self/"));
  // What cannot be looked at is no machine's folder either.
  EXPECT_TRUE(IsVolumeRoot(Real(directory.path()) + "/missing/"));
}
}  // namespace
