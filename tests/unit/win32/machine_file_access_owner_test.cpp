// Windows: the launcher's own folder counts as private by its owner and by
// its rights, so that its runs never ask about the image the user picked.
// (Wine keeps no write rights of others, so a folder others may change
// cannot be made here.) A device is held only where one is allowed, a
// drive's root is told from its folders, and a held file stays in its place.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/directory_services.h"
#include "player/host/machine_file_access.h"
#include "tests/unit/test_directory.h"

namespace {

TEST(MachineFileAccessWindows, AFolderTheUserMadeIsTheUsers) {
  TestDirectory directory;
  WriteBytes(directory.path() / "trennwick.vmx", "x");
  EXPECT_TRUE(PrivateToCurrentUser(directory.path().string()));
  EXPECT_TRUE(PrivateToCurrentUser(directory.Name("trennwick.vmx")));
  EXPECT_FALSE(PrivateToCurrentUser(directory.Name("missing")));
  // The launcher's temporary folder, made as a run makes it.
  ASSERT_NE(MakeDirectory(directory.Name("trennwick_temp_1")), 0);
  EXPECT_TRUE(PrivateToCurrentUser(directory.Name("trennwick_temp_1")));
}

// A device path (\\.\...) is told by its prefix: held where a CD drive may
// be, refused elsewhere, as any device that is no disk file is.
TEST(MachineFileAccessWindows, HoldsADeviceOnlyWhereOneIsAllowed) {
  const std::string device = "\\\\.\\NUL";
  HeldFiles held;
  std::size_t number = 99;
  EXPECT_EQ(held.Open(device, false, &number), OpenResult::kUnfit);
  EXPECT_EQ(number, 99u);
  EXPECT_EQ(held.Open(device, true, &number), OpenResult::kOpened);
  EXPECT_EQ(number, 0u);
}

// What was read through a held name stays what that name gives: the file
// cannot be replaced while it is held, and its name keeps its one number.
TEST(MachineFileAccessWindows, AHeldFileKeepsItsPlaceAndItsNumber) {
  TestDirectory directory;
  WriteBytes(directory.path() / "disk.img", "checked");
  WriteBytes(directory.path() / "other.img", "swapped");
  std::string image;
  ASSERT_TRUE(ResolveFilePath(directory.Name("disk.img"), &image));
  HeldFiles held;
  std::size_t number = 99;
  ASSERT_EQ(held.Open(image, false, &number), OpenResult::kOpened);
  std::error_code refused;
  std::filesystem::rename(directory.path() / "other.img", directory.path() / "disk.img", refused);
  EXPECT_TRUE(refused);
  std::size_t again = 99;
  ASSERT_EQ(held.Open(image, false, &again), OpenResult::kOpened);
  EXPECT_EQ(again, number);
  std::string bytes;
  ASSERT_TRUE(held.ReadAt(again, 0, 100, &bytes));
  EXPECT_EQ(bytes, "checked");
}

// A drive's root holds the user's files, a folder on the drive may be a
// machine's; what cannot be looked at counts as a root.
TEST(MachineFileAccessWindows, TellsADrivesRootFromItsFolders) {
  TestDirectory directory;
  ASSERT_NE(MakeDirectory(directory.Name("vm")), 0);
  std::string folder;
  ASSERT_TRUE(ResolveFilePath(directory.Name("vm"), &folder));
  folder += '\\';
  EXPECT_FALSE(IsVolumeRoot(folder));
  EXPECT_TRUE(IsVolumeRoot(folder.substr(0, 3)));  // "C:\"
  EXPECT_TRUE(IsVolumeRoot(folder + "missing\\"));
}

}  // namespace
