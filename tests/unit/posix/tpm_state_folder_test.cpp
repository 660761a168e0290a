#include "player/host/tpm_state_folder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/unit/test_directory.h"

namespace {

namespace fs = std::filesystem;

mode_t ModeOf(const fs::path& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// A socket listening at `path`; the descriptor, or -1.
int ListenAt(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(fd, 1) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(PrivateFolder, MakesAFolderOnlyTheUserReachesAndKeepsItNextTime) {
  TestDirectory directory;
  const fs::path path = directory.path() / "m-tpm";
  const mode_t oldMask = umask(0);
  {
    PrivateFolder folder;
    EXPECT_EQ(OpenPrivateFolder(path.string(), &folder), PrivateFolderResult::kMade);
    EXPECT_EQ(ModeOf(path), 0700u);
    ASSERT_GE(folder.descriptor(), 0);
    // Close-on-exec: only a program that is handed it gets it.
    EXPECT_NE(fcntl(folder.descriptor(), F_GETFD) & FD_CLOEXEC, 0);
  }
  umask(oldMask);
  std::ofstream(path / "tpm2-00.permall") << "state";
  PrivateFolder again;
  EXPECT_EQ(OpenPrivateFolder(path.string(), &again), PrivateFolderResult::kKept);
  EXPECT_TRUE(fs::exists(path / "tpm2-00.permall"));
}

TEST(PrivateFolder, RefusesALinkAndWhatIsNoFolder) {
  TestDirectory directory;
  const fs::path elsewhere = directory.path() / "elsewhere";
  fs::create_directory(elsewhere);
  fs::permissions(elsewhere, fs::perms::owner_all);
  fs::create_directory_symlink(elsewhere, directory.path() / "linked-tpm");
  fs::create_directory_symlink(directory.path() / "nothing", directory.path() / "dangling-tpm");
  std::ofstream(directory.path() / "file-tpm") << "x";
  for (const char* name : {"linked-tpm", "dangling-tpm", "file-tpm"}) {
    PrivateFolder folder;
    EXPECT_EQ(OpenPrivateFolder((directory.path() / name).string(), &folder),
              PrivateFolderResult::kRefused)
        << name;
    EXPECT_EQ(folder.descriptor(), -1) << name;
  }
  // Nothing was made where the dangling link points.
  EXPECT_FALSE(fs::exists(directory.path() / "nothing"));
}

TEST(PrivateFolder, RefusesAFolderOthersMayWriteInAndClosesOneTheyMayRead) {
  TestDirectory directory;
  const fs::path open = directory.path() / "open-tpm";
  fs::create_directory(open);
  chmod(open.c_str(), 0777);
  PrivateFolder refused;
  EXPECT_EQ(OpenPrivateFolder(open.string(), &refused), PrivateFolderResult::kRefused);
  EXPECT_EQ(ModeOf(open), 0777u);
  const fs::path readable = directory.path() / "readable-tpm";
  fs::create_directory(readable);
  chmod(readable.c_str(), 0755);
  PrivateFolder kept;
  EXPECT_EQ(OpenPrivateFolder(readable.string(), &kept), PrivateFolderResult::kKept);
  EXPECT_EQ(ModeOf(readable), 0700u);
}

TEST(PrivateFolder, RefusesAnotherUsersFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a folder to another user";
  TestDirectory directory;
  const fs::path theirs = directory.path() / "theirs-tpm";
  fs::create_directory(theirs);
  chmod(theirs.c_str(), 0700);
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  PrivateFolder folder;
  EXPECT_EQ(OpenPrivateFolder(theirs.string(), &folder), PrivateFolderResult::kRefused);
}

TEST(PrivateFolder, FailsWhereNoFolderCanBeMade) {
  TestDirectory directory;
  PrivateFolder folder;
  EXPECT_EQ(OpenPrivateFolder((directory.path() / "missing" / "m-tpm").string(), &folder),
            PrivateFolderResult::kFailed);
  EXPECT_EQ(folder.descriptor(), -1);
}

TEST(PrivateFolder, ReachesItsSocketThroughTheDescriptorHoweverDeepItLies) {
  TestDirectory directory;
  // Far longer than a socket address may be.
  fs::path deep = directory.path();
  for (int level = 0; level < 8; ++level) deep /= std::string(20, 'a' + level);
  fs::create_directories(deep);
  PrivateFolder folder;
  ASSERT_EQ(OpenPrivateFolder((deep / "m-tpm").string(), &folder), PrivateFolderResult::kMade);
  const std::string socketPath = folder.InheritedPath("swtpm.sock");
  EXPECT_EQ(socketPath, "/proc/self/fd/" + std::to_string(folder.descriptor()) + "/swtpm.sock");
  EXPECT_FALSE(folder.HoldsSocket("swtpm.sock"));
  const int listening = ListenAt(socketPath);
  ASSERT_GE(listening, 0) << std::strerror(errno);
  close(listening);
  EXPECT_EQ(fs::status(deep / "m-tpm" / "swtpm.sock").type(), fs::file_type::socket);
  EXPECT_TRUE(folder.HoldsSocket("swtpm.sock"));
  folder.RemoveLeftoverSocket("swtpm.sock");
  EXPECT_FALSE(fs::exists(deep / "m-tpm" / "swtpm.sock"));
}

TEST(PrivateFolder, RemovesOnlyALeftoverSocket) {
  TestDirectory directory;
  PrivateFolder folder;
  ASSERT_EQ(OpenPrivateFolder((directory.path() / "m-tpm").string(), &folder),
            PrivateFolderResult::kMade);
  std::ofstream(directory.path() / "m-tpm" / "swtpm.sock") << "a file";
  fs::create_symlink("/nonexistent", directory.path() / "m-tpm" / "link.sock");
  EXPECT_FALSE(folder.HoldsSocket("swtpm.sock"));
  EXPECT_FALSE(folder.HoldsSocket("link.sock"));
  folder.RemoveLeftoverSocket("swtpm.sock");
  folder.RemoveLeftoverSocket("link.sock");
  EXPECT_TRUE(fs::exists(directory.path() / "m-tpm" / "swtpm.sock"));
  EXPECT_TRUE(fs::is_symlink(directory.path() / "m-tpm" / "link.sock"));
}

}  // namespace
