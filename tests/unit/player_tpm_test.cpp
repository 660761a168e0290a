#include "player/tpm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "player_test_support.h"

namespace {

using namespace player_test;

constexpr char kSocket[] = "/proc/self/fd/7/swtpm.sock";

PlayerMade UefiWithTpm(const std::string& socket = kSocket) {
  return {"/usr/share/OVMF/OVMF_CODE_4M.fd", "/tmp/run/m-efivars.fd", socket};
}

MappedMachine MapBootable(const std::string& more, const PlayerMade& made = UefiWithTpm()) {
  return MapVmx(CdLines("ide1:0", "cd.iso") + more, TestHost(), made, "/tmp/run/");
}

// The arguments from the first "-chardev" of the TPM on; empty without one.
Arguments TpmArguments(const Arguments& a) {
  for (std::size_t i = 0; i + 1 < a.size(); ++i) {
    if (a[i] == "-chardev" && a[i + 1].find("id=tpmchar0") != std::string::npos) {
      return Arguments(a.begin() + static_cast<std::ptrdiff_t>(i), a.end());
    }
  }
  return {};
}

TEST(Tpm, UefiMachineGetsTheEmulatorOnSwtpmsSocket) {
  const MappedMachine mapped = MapBootable("firmware = \"efi\"\nvtpm.present = \"TRUE\"\n");
  ASSERT_EQ(mapped.error, "");
  EXPECT_TRUE(mapped.facts.tpm);
  const Arguments expected = {"-chardev", "socket,id=tpmchar0,path=/proc/self/fd/7/swtpm.sock",
                              "-tpmdev",  "emulator,id=tpm0,chardev=tpmchar0",
                              "-device",  "tpm-crb,tpmdev=tpm0"};
  EXPECT_EQ(TpmArguments(mapped.arguments), expected);
  // Secure Boot's q35 machine takes the same device.
  const MappedMachine secure = MapBootable(
      "firmware = \"efi\"\nuefi.secureBoot.enabled = \"TRUE\"\nvtpm.present = \"TRUE\"\n");
  EXPECT_EQ(TpmArguments(secure.arguments), expected);
}

TEST(Tpm, SocketPathReachesQemuAsOneOptionValue) {
  const Arguments arguments =
      TpmArguments(MapBootable("firmware = \"efi\"\nvtpm.present = \"TRUE\"\n",
                               UefiWithTpm("/home/a,b/m-tpm/swtpm.sock"))
                       .arguments);
  ASSERT_FALSE(arguments.empty());
  EXPECT_EQ(arguments[1], "socket,id=tpmchar0,path=/home/a,,b/m-tpm/swtpm.sock");
}

TEST(Tpm, NoTpmUnlessTheConfigurationAsksForOne) {
  const MappedMachine unasked = MapBootable("firmware = \"efi\"\n");
  EXPECT_EQ(unasked.error, "");
  EXPECT_FALSE(unasked.facts.tpm);
  EXPECT_TRUE(TpmArguments(unasked.arguments).empty());
  const MappedMachine off = MapBootable("firmware = \"efi\"\nvtpm.present = \"FALSE\"\n");
  EXPECT_EQ(off.error, "");
  EXPECT_TRUE(TpmArguments(off.arguments).empty());
}

TEST(Tpm, RefusesATpmWithoutUefiOnly) {
  const std::string refused = TpmRefusal(MapBootable("vtpm.present = \"TRUE\"\n").facts);
  EXPECT_NE(refused.find("firmware = \"efi\""), std::string::npos) << refused;
  EXPECT_EQ(TpmRefusal(MapBootable("firmware = \"efi\"\nvtpm.present = \"TRUE\"\n").facts), "");
  EXPECT_EQ(TpmRefusal(MapBootable("").facts), "");
  // A CD that boots only with BIOS takes the TPM away with UEFI: nothing
  // left to refuse.
  const MachineDescription machine = DescribeMachine(
      ParseVmxText(CdLines("ide1:0", "cd.iso") + "firmware = \"efi\"\nvtpm.present = \"TRUE\"\n"),
      "/tmp/run/", '/');
  const MachineFacts biosCd = WorkOutMachineFacts(machine, TestHost(), {true, false, false, false});
  EXPECT_EQ(TpmRefusal(biosCd), "");
}

TEST(Tpm, StateFolderAndUefiStoreLieBesideTheConfiguration) {
  EXPECT_EQ(TpmStateFolderPath("/home/j/vm/Win 11.vmx"), "/home/j/vm/Win 11-tpm");
  EXPECT_EQ(TpmStateFolderPath("C:\\vm\\W11.VMX"), "C:\\vm\\W11-tpm");
  EXPECT_EQ(TpmStateFolderPath("machine"), "machine-tpm");
  EXPECT_EQ(TpmStateFolderPath(".vmx"), ".vmx-tpm");
  EXPECT_EQ(MachineFileBase("/home/j/vm/a.vmx.vmx"), "/home/j/vm/a.vmx");
}

TEST(Tpm, SwtpmRunsATpm2ThatEndsWithQemu) {
  const Arguments expected = {"socket",     "--tpm2",
                              "--tpmstate", "dir=/proc/self/fd/7,mode=0600",
                              "--ctrl",     "type=unixio,path=/proc/self/fd/7/swtpm.sock,mode=0600",
                              "--terminate"};
  EXPECT_EQ(SwtpmArguments("/proc/self/fd/7", "/proc/self/fd/7/swtpm.sock"), expected);
}

}  // namespace
