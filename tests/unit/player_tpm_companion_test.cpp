#include "player/tpm_companion.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/player_host_system.h"
#include "player/tpm.h"
#include "test_directory.h"

namespace {

namespace fs = std::filesystem;

// What the stand-in swtpm was given, and how it behaves.
struct FakeSwtpm {
  bool installed = true;
  bool starts = true;
  std::vector<std::string> arguments;
  std::vector<int> keepOpen;
  int stops = 0;
  bool running = false;
};
FakeSwtpm* fake = nullptr;

class TpmCompanionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = &swtpm;
    playerHostSystem.environmentValue = [](const std::string& name, std::string* value) {
      if (name != "PATH") return false;
      *value = kSearchPathSeparator == ';' ? "C:\\tools" : "/tools";
      return true;
    };
    playerHostSystem.isProgramFile = [](const std::string& path) {
      return fake->installed && path.find("swtpm") != std::string::npos;
    };
    playerHostSystem.startCompanion = [](const std::string&, const std::vector<std::string>& a,
                                         const std::vector<int>& keepOpen, ProcessHandles*) {
      fake->arguments = a;
      fake->keepOpen = keepOpen;
      fake->running = fake->starts;
      return fake->starts;
    };
    playerHostSystem.companionRunning = [](ProcessHandles*) { return fake->running; };
    playerHostSystem.stopCompanion = [](ProcessHandles*, int) {
      ++fake->stops;
      fake->running = false;
    };
  }
  void TearDown() override {
    playerHostSystem = kSystemPlayerHostCalls;
    fake = nullptr;
  }

  std::string Vmx() const { return (directory.path() / "m.vmx").string(); }

  TestDirectory directory;
  FakeSwtpm swtpm;
};

TEST_F(TpmCompanionTest, PreparesNothingWithoutARequestOrWithoutUefi) {
  QemuHostFacts host;
  TpmCompanion unasked;
  EXPECT_EQ(unasked.Prepare(Vmx(), false, true, &host), "");
  TpmCompanion bios;
  // The mapping refuses this TPM with its own words; Windows refuses any.
  EXPECT_EQ(bios.Prepare(Vmx(), true, false, &host).empty(), HostEmulatesTpm());
  EXPECT_EQ(host.tpmSocket, "");
  EXPECT_TRUE(unasked.Descriptors().empty());
  EXPECT_FALSE(fs::exists(directory.path() / "m-tpm"));
  EXPECT_EQ(unasked.Start(), "");
  EXPECT_TRUE(swtpm.arguments.empty());
}

TEST_F(TpmCompanionTest, WindowsRefusesEveryTpm) {
  if (HostEmulatesTpm()) GTEST_SKIP() << "this system emulates a TPM";
  QemuHostFacts host;
  TpmCompanion tpm;
  const std::string refusal = tpm.Prepare(Vmx(), true, true, &host);
  EXPECT_NE(refusal.find("QEMU f\xFCr Windows kann kein TPM"), std::string::npos) << refusal;
  EXPECT_EQ(host.tpmSocket, "");
}

TEST_F(TpmCompanionTest, NamesThePackageWhenSwtpmIsMissing) {
  if (!HostEmulatesTpm()) GTEST_SKIP() << "no TPM on this system";
  swtpm.installed = false;
  QemuHostFacts host;
  TpmCompanion tpm;
  const std::string refusal = tpm.Prepare(Vmx(), true, true, &host);
  EXPECT_NE(refusal.find("Paket \"swtpm\""), std::string::npos) << refusal;
  EXPECT_FALSE(fs::exists(directory.path() / "m-tpm"));
}

TEST_F(TpmCompanionTest, RefusesAStateFolderThatIsALink) {
  if (!HostEmulatesTpm()) GTEST_SKIP() << "no TPM on this system";
  fs::create_directory(directory.path() / "elsewhere");
  fs::create_directory_symlink(directory.path() / "elsewhere", directory.path() / "m-tpm");
  QemuHostFacts host;
  TpmCompanion tpm;
  const std::string refusal = tpm.Prepare(Vmx(), true, true, &host);
  EXPECT_NE(refusal.find("m-tpm'"), std::string::npos) << refusal;
  EXPECT_EQ(host.tpmSocket, "");
  EXPECT_EQ(tpm.Start(), "");
  EXPECT_TRUE(swtpm.arguments.empty());
}

}  // namespace
