// The machine's UEFI variable store is never written through a link that
// someone planted beside its configuration.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "player/host/uefi_files.h"
#include "tests/unit/test_directory.h"

namespace {

TEST(MakePrivateCopy, NeverWritesThroughALink) {
  TestDirectory directory;
  const std::string source = directory.Name("vars.fd");
  WriteBytes(directory.path() / "vars.fd", "template");
  // A link planted beside the configuration is not written through.
  WriteBytes(directory.path() / "victim", "keep");
  std::filesystem::create_symlink(directory.path() / "victim", directory.path() / "link.fd");
  EXPECT_EQ(MakePrivateCopy(source, directory.Name("link.fd")), PrivateCopyResult::kNotAFile);
  std::filesystem::create_symlink(directory.path() / "nowhere", directory.path() / "dangling.fd");
  EXPECT_EQ(MakePrivateCopy(source, directory.Name("dangling.fd")), PrivateCopyResult::kNotAFile);
  EXPECT_FALSE(std::filesystem::exists(directory.path() / "nowhere"));
  EXPECT_EQ(ReadBytes(directory.path() / "victim"), "keep");
}

}  // namespace
