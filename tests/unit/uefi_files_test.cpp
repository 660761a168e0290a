#include "player/host/uefi_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_directory.h"

namespace {

TEST(MakePrivateCopy, CopiesOnceAndNeverWritesThroughWhatIsThere) {
  TestDirectory directory;
  const std::string source = directory.Name("vars.fd");
  WriteBytes(directory.path() / "vars.fd", std::string("\x01\x00template", 10));
  const std::string copy = directory.Name("m-efivars.fd");
  EXPECT_EQ(MakePrivateCopy(source, copy), PrivateCopyResult::kMade);
  EXPECT_EQ(ReadBytes(copy), std::string("\x01\x00template", 10));
  // The machine's own variables stay as the guest left them.
  WriteBytes(directory.path() / "m-efivars.fd", "changed by the guest");
  EXPECT_EQ(MakePrivateCopy(source, copy), PrivateCopyResult::kKept);
  EXPECT_EQ(ReadBytes(copy), "changed by the guest");

  std::filesystem::create_directory(directory.path() / "dir.fd");
  EXPECT_EQ(MakePrivateCopy(source, directory.Name("dir.fd")), PrivateCopyResult::kNotAFile);
  EXPECT_EQ(MakePrivateCopy(directory.Name("missing"), directory.Name("new.fd")),
            PrivateCopyResult::kFailed);
  EXPECT_FALSE(std::filesystem::exists(directory.path() / "new.fd"));
}

}  // namespace
