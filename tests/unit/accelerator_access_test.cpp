#include "player/host/accelerator_access.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "player/host/accelerator_access_system.h"

namespace {

int openError = 0;

TEST(CheckKvm, SaysWhyKvmDoesNotOpenOnlyWhenItIsThere) {
  const AcceleratorAccessSystem saved = acceleratorAccessSystem;
  acceleratorAccessSystem.openForReadWriteError = [](const std::string& path) {
    return path == "/dev/kvm" ? openError : ENOENT;
  };
  acceleratorAccessSystem.errorText = [](int error) {
    return error == EACCES ? std::string("Permission denied") : "error " + std::to_string(error);
  };
  openError = 0;
  EXPECT_TRUE(CheckKvm().usable);
  EXPECT_EQ(CheckKvm().refusal, "");
  openError = ENOENT;  // no KVM at all: nothing to tell
  EXPECT_FALSE(CheckKvm().usable);
  EXPECT_EQ(CheckKvm().refusal, "");
  openError = EACCES;
  KvmAccess access = CheckKvm();
  EXPECT_FALSE(access.usable);
  EXPECT_EQ(access.refusal, "Permission denied");
  EXPECT_TRUE(access.permissionDenied);
  openError = EBUSY;
  access = CheckKvm();
  EXPECT_EQ(access.refusal, "error " + std::to_string(EBUSY));
  EXPECT_FALSE(access.permissionDenied);
  acceleratorAccessSystem = saved;
}

}  // namespace
