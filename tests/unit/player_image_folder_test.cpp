#include "player/host/image_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "test_directory.h"

namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class ImageFolderTest : public ::testing::Test {
 protected:
  std::string Root() const { return (root / "").string(); }

  TestDirectory directory;
  const fs::path& root = directory.path();
};

TEST_F(ImageFolderTest, MakesItsFolderWithTheFirstFileAndRemovesEverythingItWrote) {
  std::string first;
  std::string second;
  {
    TemporaryImageFolder folder(Root());
    EXPECT_TRUE(fs::is_empty(root));
    ASSERT_TRUE(folder.Write("0-disk.vmdk", "descriptor", &first));
    ASSERT_TRUE(folder.Write("1-overlay.qcow2", std::string(300000, 'q'), &second));
    EXPECT_EQ(fs::path(first).parent_path(), fs::path(second).parent_path());
    EXPECT_EQ(fs::path(first).parent_path().parent_path(), root);
    EXPECT_EQ(fs::path(first).parent_path().filename().string().rfind(kImageFolderPrefix, 0), 0u);
    EXPECT_EQ(Read(first), "descriptor");
    EXPECT_EQ(Read(second).size(), 300000u);
    // A name there already is never written over.
    std::string again;
    EXPECT_FALSE(folder.Write("0-disk.vmdk", "other", &again));
    EXPECT_EQ(Read(first), "descriptor");
  }
  EXPECT_TRUE(fs::is_empty(root));
}

TEST_F(ImageFolderTest, EachRunHasAFolderOfItsOwnAndNoneWhenItWritesNothing) {
  std::string a;
  std::string b;
  TemporaryImageFolder one(Root());
  TemporaryImageFolder two(Root());
  ASSERT_TRUE(one.Write("0-overlay.qcow2", "a", &a));
  ASSERT_TRUE(two.Write("0-overlay.qcow2", "b", &b));
  EXPECT_NE(a, b);
  { TemporaryImageFolder unused(Root()); }
  EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 2);
  // A root that is not there makes no folder and no file.
  TemporaryImageFolder missing((root / "missing" / "").string());
  std::string path;
  EXPECT_FALSE(missing.Write("0-overlay.qcow2", "x", &path));
}

}  // namespace
