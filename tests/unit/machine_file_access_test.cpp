// The contract of the machine's file access that both systems keep.
#include "player/host/machine_file_access.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_directory.h"

namespace {

TEST(MachineFileAccessBoth, ReadsASmallFileUpToItsLimitOnly) {
  TestDirectory directory;
  WriteBytes(directory.path() / "a.vmx", std::string(100, 'a'));
  std::string bytes;
  ASSERT_EQ(ReadSmallFile(directory.Name("a.vmx"), 100, &bytes), SmallFileResult::kRead);
  EXPECT_EQ(bytes, std::string(100, 'a'));
  EXPECT_EQ(ReadSmallFile(directory.Name("a.vmx"), 99, &bytes), SmallFileResult::kTooLarge);
  EXPECT_EQ(ReadSmallFile(directory.Name("missing"), 100, &bytes), SmallFileResult::kCannotOpen);
  EXPECT_NE(ReadSmallFile(directory.path().string(), 100, &bytes), SmallFileResult::kRead);
}

TEST(MachineFileAccessBoth, ResolvesDotsAndKeepsAMissingNameInItsFolder) {
  TestDirectory directory;
  std::filesystem::create_directory(directory.path() / "sub");
  WriteBytes(directory.path() / "a.img", "x");
  std::string direct;
  std::string dotted;
  ASSERT_TRUE(ResolveFilePath(directory.Name("a.img"), &direct));
  ASSERT_TRUE(ResolveFilePath((directory.path() / "sub" / ".." / "a.img").string(), &dotted));
  EXPECT_EQ(dotted, direct);
  std::string missing;
  ASSERT_TRUE(ResolveFilePath((directory.path() / "sub" / ".." / "new.log").string(), &missing));
  EXPECT_EQ(missing, direct.substr(0, direct.size() - 5) + "new.log");
  EXPECT_FALSE(ResolveFilePath((directory.path() / "gone" / "new.log").string(), &missing));
}

}  // namespace
