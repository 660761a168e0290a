// Windows: the launcher's own folder counts as private by its owner, so
// that its runs never ask about the image the user picked.
#include <gtest/gtest.h>

#include <string>

#include "platform/machine_file_access.h"
#include "tests/unit/test_directory.h"

namespace {

TEST(MachineFileAccessWindows, AFolderTheUserMadeIsTheUsers) {
  TestDirectory directory;
  WriteBytes(directory.path() / "trennwick.vmx", "x");
  EXPECT_TRUE(PrivateToCurrentUser(directory.path().string()));
  EXPECT_TRUE(PrivateToCurrentUser(directory.Name("trennwick.vmx")));
  EXPECT_FALSE(PrivateToCurrentUser(directory.Name("missing")));
}

}  // namespace
