// The removal walk stays on the temporary directory's own mount: a directory
// mounted inside the tree is someone else's, and its files must survive.
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/directory_services.h"
#include "tests/unit/test_directory.h"

namespace {

namespace fs = std::filesystem;

class BindMount {
 public:
  BindMount(const fs::path& source, const fs::path& target) : target_(target) {
    mounted_ = mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (!mounted_) error_ = std::strerror(errno);
  }
  ~BindMount() {
    if (mounted_) umount2(target_.c_str(), MNT_DETACH);
  }
  BindMount(const BindMount&) = delete;
  BindMount& operator=(const BindMount&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }

 private:
  fs::path target_;
  bool mounted_ = false;
  std::string error_;
};

TEST(DirectoryServicesMount, AMountInsideTheTreeIsNeverEnteredAndItsFilesSurvive) {
  TestDirectory test;
  const fs::path outside = test.path() / "outside";
  const fs::path tree = test.path() / "tree";
  fs::create_directories(outside / "deeper");
  fs::create_directories(tree / "own" / "mounted");
  const char* const kOutsideFiles[] = {"a.txt", "b.iso", "c", "deeper/d.txt"};
  for (const char* name : kOutsideFiles) WriteBytes(outside / name, "kept");
  WriteBytes(tree / "trennwick.vmx", "config");
  WriteBytes(tree / "own" / "log.txt", "log");

  // Same file system as the tree: only the mount tells it apart.
  BindMount bind(outside, tree / "own" / "mounted");
  if (!bind.mounted()) GTEST_SKIP() << "bind mount refused: " << bind.error();

  EXPECT_EQ(RemoveDirectoryTree(tree.string(), "", RemoveRecursive), 0);
  for (const char* name : kOutsideFiles) {
    EXPECT_EQ(ReadBytes(outside / name), "kept") << name;
  }
  // Everything of the tree's own that is not the mount's way goes.
  EXPECT_FALSE(fs::exists(tree / "trennwick.vmx"));
  EXPECT_FALSE(fs::exists(tree / "own" / "log.txt"));
}

}  // namespace
