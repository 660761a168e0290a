// Windows: the launcher's own folder counts as private by its owner and by
// its rights, so that its runs never ask about the image the user picked.
// (Wine keeps no write rights of others, so a folder others may change
// cannot be made here.)
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
