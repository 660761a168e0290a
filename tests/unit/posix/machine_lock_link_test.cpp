// A hostile folder may hold a link named like the lock: the lock is then
// not taken, and nothing is made or removed where the link points.
#include <filesystem>
#include <string>

#include "player/host/machine_lock.h"
#include "tests/unit/test_directory.h"

namespace {

namespace fs = std::filesystem;

TEST(MachineLockLink, ALinkInThePlaceOfTheLockIsNeverFollowed) {
  TestDirectory directory;
  const std::string vmx = directory.Name("m.vmx");
  const fs::path lockPath = directory.path() / "m.vmx.lck";
  const fs::path elsewhere = directory.path() / "elsewhere";
  fs::create_directory(elsewhere);
  fs::create_directory_symlink(elsewhere, lockPath);
  MachineLock lock;
  EXPECT_EQ(lock.Take(vmx), MachineLockResult::kInTheWay);
  EXPECT_TRUE(fs::is_empty(elsewhere));

  // A link to a directory holding a stale-looking owner: not removed.
  WriteBytes(elsewhere / kMachineLockOwnerFile, OwnerRecord(1u << 30));
  EXPECT_EQ(lock.Take(vmx), MachineLockResult::kInTheWay);
  EXPECT_TRUE(fs::exists(elsewhere / kMachineLockOwnerFile));

  // A dangling link: mkdir does not create its target.
  fs::remove(lockPath);
  fs::create_symlink(directory.path() / "nowhere", lockPath);
  EXPECT_EQ(lock.Take(vmx), MachineLockResult::kInTheWay);
  EXPECT_FALSE(fs::exists(directory.path() / "nowhere"));
  EXPECT_TRUE(fs::is_symlink(lockPath));
}

TEST(MachineLockLink, AnOwnerFileThatIsALinkIsNoOwner) {
  TestDirectory directory;
  const fs::path lockPath = directory.path() / "m.vmx.lck";
  fs::create_directory(lockPath);
  WriteBytes(directory.path() / "record", OwnerRecord(1u << 30));
  fs::create_symlink(directory.path() / "record", lockPath / kMachineLockOwnerFile);
  MachineLock lock;
  EXPECT_EQ(lock.Take(directory.Name("m.vmx")), MachineLockResult::kUnknown);
  EXPECT_TRUE(fs::exists(directory.path() / "record"));
}

}  // namespace
