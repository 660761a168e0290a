#include "player/tpm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "player/host/tpm_state_folder.h"
#include "player/qemu_invocation.h"
#include "player/vmx_config.h"

namespace {

using Arguments = std::vector<std::string>;

QemuHostFacts UefiHost() {
  QemuHostFacts host;
  host.vmxDirectory = "/tmp/run/";
  host.firmwareCode = "/usr/share/OVMF/OVMF_CODE_4M.fd";
  host.firmwareVariables = "/tmp/run/m-efivars.fd";
  host.tpmSocket = "/proc/self/fd/7/swtpm.sock";
  return host;
}

QemuInvocation MapBootable(const std::string& more, const QemuHostFacts& host) {
  return MapVmxToQemu(ParseVmxText("ide1:0.present = \"TRUE\"\nide1:0.fileName = \"cd.iso\"\n"
                                   "ide1:0.deviceType = \"cdrom-image\"\n" +
                                   more),
                      host);
}

// The arguments from the first "-chardev" of the TPM on; empty without one.
Arguments TpmArguments(const QemuInvocation& invocation) {
  const Arguments& a = invocation.arguments;
  for (std::size_t i = 0; i + 1 < a.size(); ++i) {
    if (a[i] == "-chardev" && a[i + 1].find("id=tpmchar0") != std::string::npos) {
      return Arguments(a.begin() + static_cast<std::ptrdiff_t>(i), a.end());
    }
  }
  return {};
}

TEST(Tpm, UefiMachineGetsTheEmulatorOnSwtpmsSocket) {
  const QemuInvocation invocation =
      MapBootable("firmware = \"efi\"\nvtpm.present = \"TRUE\"\n", UefiHost());
  ASSERT_EQ(invocation.error, "");
  const Arguments expected = {"-chardev", "socket,id=tpmchar0,path=/proc/self/fd/7/swtpm.sock",
                              "-tpmdev",  "emulator,id=tpm0,chardev=tpmchar0",
                              "-device",  "tpm-crb,tpmdev=tpm0"};
  EXPECT_EQ(TpmArguments(invocation), expected);
  // Secure Boot's q35 machine takes the same device.
  const QemuInvocation secure = MapBootable(
      "firmware = \"efi\"\nuefi.secureBoot.enabled = \"TRUE\"\nvtpm.present = \"TRUE\"\n",
      UefiHost());
  EXPECT_EQ(TpmArguments(secure), expected);
}

TEST(Tpm, SocketPathReachesQemuAsOneOptionValue) {
  QemuHostFacts host = UefiHost();
  host.tpmSocket = "/home/a,b/m-tpm/swtpm.sock";
  const Arguments arguments =
      TpmArguments(MapBootable("firmware = \"efi\"\nvtpm.present = \"TRUE\"\n", host));
  ASSERT_FALSE(arguments.empty());
  EXPECT_EQ(arguments[1], "socket,id=tpmchar0,path=/home/a,,b/m-tpm/swtpm.sock");
}

TEST(Tpm, NoTpmUnlessTheConfigurationAsksForOne) {
  EXPECT_TRUE(TpmArguments(MapBootable("firmware = \"efi\"\n", UefiHost())).empty());
  const QemuInvocation off =
      MapBootable("firmware = \"efi\"\nvtpm.present = \"FALSE\"\n", UefiHost());
  EXPECT_EQ(off.error, "");
  EXPECT_TRUE(TpmArguments(off).empty());
}

TEST(Tpm, RefusesATpmWithoutUefiOrWithoutSwtpm) {
  const QemuInvocation bios = MapBootable("vtpm.present = \"TRUE\"\n", QemuHostFacts());
  EXPECT_NE(bios.error.find("firmware = \"efi\""), std::string::npos) << bios.error;
  EXPECT_TRUE(bios.arguments.empty());
  QemuHostFacts noSocket = UefiHost();
  noSocket.tpmSocket.clear();
  const QemuInvocation missing =
      MapBootable("firmware = \"efi\"\nvtpm.present = \"TRUE\"\n", noSocket);
  EXPECT_NE(missing.error.find("swtpm"), std::string::npos) << missing.error;
  EXPECT_TRUE(missing.arguments.empty());
}

TEST(Tpm, StateFolderLiesBesideTheConfiguration) {
  EXPECT_EQ(TpmStateFolderPath("/home/j/vm/Win 11.vmx"), "/home/j/vm/Win 11-tpm");
  EXPECT_EQ(TpmStateFolderPath("C:\\vm\\W11.VMX"), "C:\\vm\\W11-tpm");
  EXPECT_EQ(TpmStateFolderPath("machine"), "machine-tpm");
  EXPECT_EQ(TpmStateFolderPath(".vmx"), ".vmx-tpm");
}

TEST(Tpm, SwtpmRunsATpm2ThatEndsWithQemu) {
  const Arguments expected = {"socket",     "--tpm2",
                              "--tpmstate", "dir=/proc/self/fd/7,mode=0600",
                              "--ctrl",     "type=unixio,path=/proc/self/fd/7/swtpm.sock,mode=0600",
                              "--terminate"};
  EXPECT_EQ(SwtpmArguments("/proc/self/fd/7", "/proc/self/fd/7/swtpm.sock"), expected);
}

}  // namespace
