#include "player/tpm_companion.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

// A machine without a TPM keeps a companion that was never opened: it has
// nothing for QEMU and starts nothing.
TEST(TpmCompanion, StartsNothingUntilItIsOpened) {
  TpmCompanion unopened;
  EXPECT_EQ(unopened.Socket(), "");
  EXPECT_TRUE(unopened.Descriptors().empty());
  EXPECT_EQ(unopened.Start(), "");
  const auto before = std::chrono::steady_clock::now();
  unopened.Stop();
  // Nothing runs, so nothing is waited for.
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
}

}  // namespace
