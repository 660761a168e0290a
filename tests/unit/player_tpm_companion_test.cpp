#include "player/tpm_companion.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_directory.h"

namespace {

TEST(TpmCompanion, PreparesNothingWithoutARequestOrWithoutUefi) {
  TestDirectory directory;
  const std::string vmx = (directory.path() / "m.vmx").string();
  QemuHostFacts host;
  TpmCompanion unasked;
  EXPECT_EQ(unasked.Prepare(vmx, false, true, &host), "");
  TpmCompanion bios;
  // The mapping refuses this TPM with its own words; Windows refuses any.
  EXPECT_EQ(bios.Prepare(vmx, true, false, &host).empty(), HostEmulatesTpm());
  EXPECT_EQ(host.tpmSocket, "");
  EXPECT_TRUE(unasked.Descriptors().empty());
  EXPECT_FALSE(std::filesystem::exists(directory.path() / "m-tpm"));
  EXPECT_EQ(unasked.Start(), "");
}

TEST(TpmCompanion, WindowsRefusesEveryTpm) {
  if (HostEmulatesTpm()) GTEST_SKIP() << "this system emulates a TPM";
  TestDirectory directory;
  QemuHostFacts host;
  TpmCompanion tpm;
  const std::string refusal = tpm.Prepare((directory.path() / "m.vmx").string(), true, true, &host);
  EXPECT_NE(refusal.find("QEMU f\xFCr Windows kann kein TPM"), std::string::npos) << refusal;
  EXPECT_EQ(host.tpmSocket, "");
}

}  // namespace
