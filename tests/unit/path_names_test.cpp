#include "platform/path_names.h"

#include <gtest/gtest.h>

namespace {

TEST(PathNames, ClassifiesNamesWithoutTheFileSystem) {
  EXPECT_EQ(ClassifyPath("/home/u/vm/disk.img", '/'), PathClass::kOrdinary);
  EXPECT_EQ(ClassifyPath("//server/share/x.iso", '/'), PathClass::kNetwork);
  EXPECT_EQ(ClassifyPath("/dev/fd/3", '/'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("/dev", '/'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("/proc/self/fd/0", '/'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("/sys/block/sda", '/'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("/dev/sr0", '/'), PathClass::kCdDrive);
  EXPECT_EQ(ClassifyPath("/dev/cdrom", '/'), PathClass::kCdDrive);
  EXPECT_EQ(ClassifyPath("/dev/sda", '/'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("/dev/srx", '/'), PathClass::kDevice);
  // Near misses are ordinary files.
  EXPECT_EQ(ClassifyPath("/devices/x", '/'), PathClass::kOrdinary);
  EXPECT_EQ(ClassifyPath("/home/u/proc/x", '/'), PathClass::kOrdinary);
  // A backslash name is an ordinary (odd) file name on POSIX.
  EXPECT_EQ(ClassifyPath("\\\\server\\share\\x.iso", '/'), PathClass::kOrdinary);

  EXPECT_EQ(ClassifyPath("C:\\Users\\u\\vm\\a.vmdk", '\\'), PathClass::kOrdinary);
  EXPECT_EQ(ClassifyPath("\\\\server\\share\\x.iso", '\\'), PathClass::kNetwork);
  EXPECT_EQ(ClassifyPath("//server/share/x.iso", '\\'), PathClass::kNetwork);
  EXPECT_EQ(ClassifyPath("\\/server/share", '\\'), PathClass::kNetwork);
  EXPECT_EQ(ClassifyPath("\\\\?\\C:\\x.img", '\\'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("\\\\?\\UNC\\server\\share", '\\'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("\\\\.\\PhysicalDrive0", '\\'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("\\\\.\\D:", '\\'), PathClass::kCdDrive);
  EXPECT_EQ(ClassifyPath("//./cdrom0", '\\'), PathClass::kCdDrive);
  EXPECT_EQ(ClassifyPath("C:\\vm\\COM1", '\\'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("nul.txt", '\\'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("C:\\vm\\Con ", '\\'), PathClass::kDevice);
  EXPECT_EQ(ClassifyPath("C:\\vm\\console.log", '\\'), PathClass::kOrdinary);
  EXPECT_EQ(ClassifyPath("C:\\vm\\com10", '\\'), PathClass::kOrdinary);
}

TEST(PathNames, LiesInFolderOnlyBelowAFolderBoundary) {
  EXPECT_TRUE(LiesInFolder("/home/u/vm/disk.img", "/home/u/vm/", '/'));
  EXPECT_TRUE(LiesInFolder("/home/u/vm/sub/disk.img", "/home/u/vm/", '/'));
  EXPECT_FALSE(LiesInFolder("/home/u/vm2/disk.img", "/home/u/vm/", '/'));
  EXPECT_FALSE(LiesInFolder("/home/u/vm", "/home/u/vm/", '/'));
  EXPECT_FALSE(LiesInFolder("/home/u/vm/", "/home/u/vm/", '/'));
  EXPECT_FALSE(LiesInFolder("/home/u/VM/disk.img", "/home/u/vm/", '/'));
  EXPECT_FALSE(LiesInFolder("/home/u/vm/disk.img", "/home/u/vm", '/'));  // no boundary given
  // Windows: any case, either separator.
  EXPECT_TRUE(LiesInFolder("c:\\Users\\U\\VM\\disk.img", "C:\\users\\u\\vm\\", '\\'));
  EXPECT_TRUE(LiesInFolder("C:/Users/u/vm/disk.img", "C:\\Users\\u\\vm\\", '\\'));
  EXPECT_FALSE(LiesInFolder("C:\\Users\\u\\vm2\\disk.img", "C:\\Users\\u\\vm\\", '\\'));
  EXPECT_FALSE(LiesInFolder("D:\\Users\\u\\vm\\disk.img", "C:\\Users\\u\\vm\\", '\\'));
}

}  // namespace
