#include "player/machine_facts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

enum class Asked { kBios, kEfi, kEfiSecureBootTpm };

MachineDescription Machine(Asked asked, std::optional<long long> memory = std::nullopt,
                           std::optional<long long> processors = std::nullopt) {
  MachineDescription machine;
  machine.uefiRequested = asked != Asked::kBios;
  machine.secureBootRequested = asked == Asked::kEfiSecureBootTpm;
  machine.tpmRequested = asked == Asked::kEfiSecureBootTpm;
  machine.memoryMegabytes = memory;
  machine.processors = processors;
  return machine;
}

BootMediumFacts Cd(bool bios, bool uefi, bool windowsSetup = false) {
  return {bios, uefi, windowsSetup, false};
}

HostFacts Host(long long spareMemory = 16384, long long processors = 8, bool tpm = true) {
  HostFacts host;
  host.accelerator = QemuAccelerator::kKvm;
  host.spareMemoryMegabytes = spareMemory;
  host.processors = processors;
  host.tpmEmulation = tpm;
  return host;
}

TEST(MachineFacts, TakesWhatTheVmxAsksForWhenTheCdBootsEitherWayOrIsUnknown) {
  for (const BootMediumFacts& cd : {Cd(true, true), Cd(false, false)}) {
    const MachineFacts bios = WorkOutMachineFacts(Machine(Asked::kBios, 768, 1), Host(), cd);
    EXPECT_EQ(bios.firmware, FirmwareKind::kBios);
    EXPECT_FALSE(bios.tpm);
    EXPECT_EQ(bios.memoryMegabytes, 768);
    EXPECT_EQ(bios.processors, 1);
    EXPECT_EQ(bios.accelerator, QemuAccelerator::kKvm);
    EXPECT_EQ(bios.titleNote, "");
    EXPECT_EQ(bios.reason, "");
    EXPECT_TRUE(bios.shortfalls.empty());

    EXPECT_EQ(WorkOutMachineFacts(Machine(Asked::kEfi), Host(), cd).firmware, FirmwareKind::kEfi);
    const MachineFacts secure = WorkOutMachineFacts(Machine(Asked::kEfiSecureBootTpm), Host(), cd);
    EXPECT_EQ(secure.firmware, FirmwareKind::kEfiSecureBoot);
    EXPECT_TRUE(secure.Q35());
    EXPECT_TRUE(secure.tpm);
    EXPECT_EQ(secure.titleNote, "");
    // Unset sizes stay QEMU's own.
    EXPECT_EQ(secure.memoryMegabytes, 0);
    EXPECT_EQ(secure.processors, 0);
  }
  // A Secure Boot request without UEFI is no UEFI request.
  MachineDescription odd = Machine(Asked::kBios);
  odd.secureBootRequested = true;
  EXPECT_EQ(WorkOutMachineFacts(odd, Host(), {}).firmware, FirmwareKind::kBios);
}

TEST(MachineFacts, ACdThatBootsWithOneFirmwareOnlyGetsThatOne) {
  const MachineFacts uefi =
      WorkOutMachineFacts(Machine(Asked::kBios, 768), Host(), Cd(false, true));
  EXPECT_EQ(uefi.firmware, FirmwareKind::kEfi);
  EXPECT_FALSE(uefi.tpm);
  EXPECT_EQ(uefi.titleNote, "UEFI, von der CD verlangt");
  EXPECT_NE(uefi.reason, "");
  EXPECT_EQ(uefi.memoryMegabytes, 768);
  // A UEFI machine keeps its Secure Boot and TPM for a UEFI-only CD.
  const MachineFacts kept =
      WorkOutMachineFacts(Machine(Asked::kEfiSecureBootTpm), Host(), Cd(false, true));
  EXPECT_EQ(kept.firmware, FirmwareKind::kEfiSecureBoot);
  EXPECT_TRUE(kept.tpm);
  EXPECT_EQ(kept.titleNote, "");

  for (Asked asked : {Asked::kEfi, Asked::kEfiSecureBootTpm}) {
    const MachineFacts bios = WorkOutMachineFacts(Machine(asked), Host(), Cd(true, false));
    EXPECT_EQ(bios.firmware, FirmwareKind::kBios);
    EXPECT_FALSE(bios.Uefi());
    // A TPM needs UEFI: it goes with it instead of refusing the machine.
    EXPECT_FALSE(bios.tpm);
    EXPECT_EQ(bios.titleNote, "BIOS, von der CD verlangt");
    EXPECT_NE(bios.reason, "");
  }
  const MachineFacts stays = WorkOutMachineFacts(Machine(Asked::kBios), Host(), Cd(true, false));
  EXPECT_EQ(stays.firmware, FirmwareKind::kBios);
  EXPECT_EQ(stays.titleNote, "");
}

TEST(MachineFacts, WindowsSetupGetsSecureBootATpmAndTheSizeItNeeds) {
  const BootMediumFacts setup = Cd(false, true, true);
  for (Asked asked : {Asked::kBios, Asked::kEfi, Asked::kEfiSecureBootTpm}) {
    const MachineFacts facts = WorkOutMachineFacts(Machine(asked, 768, 1), Host(), setup);
    EXPECT_EQ(facts.firmware, FirmwareKind::kEfiSecureBoot);
    EXPECT_TRUE(facts.tpm);
    EXPECT_EQ(facts.memoryMegabytes, kWindowsSetupMemoryMegabytes);
    EXPECT_EQ(facts.processors, kWindowsSetupProcessors);
    EXPECT_EQ(facts.titleNote, "Windows-Setup");
    EXPECT_TRUE(facts.shortfalls.empty());
  }
  // Even a setup CD that boots with BIOS only is a setup first.
  EXPECT_EQ(WorkOutMachineFacts(Machine(Asked::kBios), Host(), Cd(true, false, true)).firmware,
            FirmwareKind::kEfiSecureBoot);
  // Only raised, never lowered.
  const MachineFacts large = WorkOutMachineFacts(Machine(Asked::kBios, 8192, 6), Host(), setup);
  EXPECT_EQ(large.memoryMegabytes, 8192);
  EXPECT_EQ(large.processors, 6);
  // Unset sizes are raised as well; an unknown host is no limit.
  const MachineFacts unset = WorkOutMachineFacts(Machine(Asked::kBios), Host(0, 0), setup);
  EXPECT_EQ(unset.memoryMegabytes, kWindowsSetupMemoryMegabytes);
  EXPECT_EQ(unset.processors, kWindowsSetupProcessors);
  EXPECT_TRUE(unset.shortfalls.empty());
}

TEST(MachineFacts, WindowsSetupTakesWhatTheHostHasAndListsWhatIsMissing) {
  const BootMediumFacts setup = Cd(false, true, true);
  const MachineFacts small =
      WorkOutMachineFacts(Machine(Asked::kBios, 768, 1), Host(3000, 1), setup);
  EXPECT_EQ(small.memoryMegabytes, 3000);
  EXPECT_EQ(small.processors, 1);
  EXPECT_TRUE(small.tpm);
  EXPECT_EQ(small.shortfalls,
            (std::vector<std::string>{"4096 MB Arbeitsspeicher (frei sind 3000 MB)",
                                      "2 Prozessoren (der Rechner hat 1)"}));
  // What the .vmx asked for above what is spare is lowered as well.
  const MachineFacts lowered =
      WorkOutMachineFacts(Machine(Asked::kBios, 2048, 1), Host(1000, 1), setup);
  EXPECT_EQ(lowered.memoryMegabytes, 1000);
  EXPECT_EQ(lowered.shortfalls.size(), 2u);
  EXPECT_EQ(lowered.lowered.size(), 1u);
  const MachineFacts unset = WorkOutMachineFacts(Machine(Asked::kBios), Host(1000, 1), setup);
  EXPECT_EQ(unset.memoryMegabytes, 1000);
  EXPECT_EQ(unset.processors, 1);

  // Without TPM emulation the machine starts without one and says so.
  const MachineFacts noTpm =
      WorkOutMachineFacts(Machine(Asked::kBios, 4096, 2), Host(16384, 8, false), setup);
  EXPECT_FALSE(noTpm.tpm);
  ASSERT_EQ(noTpm.shortfalls.size(), 1u);
  EXPECT_NE(noTpm.shortfalls[0].find("TPM 2.0"), std::string::npos);
  EXPECT_EQ(noTpm.firmware, FirmwareKind::kEfiSecureBoot);
  // Even when the .vmx asked for a TPM itself.
  EXPECT_FALSE(
      WorkOutMachineFacts(Machine(Asked::kEfiSecureBootTpm), Host(16384, 8, false), setup).tpm);
}

TEST(MachineFacts, ARawDiskThatBootsOneWayOnlyGetsThatFirmwareAsACdDoes) {
  const BootMediumFacts uefiDisk = {false, true, false, true};
  const MachineFacts uefi = WorkOutMachineFacts(Machine(Asked::kBios), Host(), uefiDisk);
  EXPECT_EQ(uefi.firmware, FirmwareKind::kEfi);
  EXPECT_EQ(uefi.titleNote, "UEFI, von der Festplatte verlangt");
  const BootMediumFacts biosDisk = {true, false, false, true};
  const MachineFacts bios =
      WorkOutMachineFacts(Machine(Asked::kEfiSecureBootTpm), Host(), biosDisk);
  EXPECT_EQ(bios.firmware, FirmwareKind::kBios);
  EXPECT_FALSE(bios.tpm);
  EXPECT_EQ(bios.titleNote, "BIOS, von der Festplatte verlangt");
}

// A .vmx from anywhere must leave the host enough to stay usable.
TEST(MachineFacts, LowersWhatTheHostCannotSpareAndSaysFromWhatToWhatAndWhy) {
  EXPECT_EQ(SpareMemoryMegabytes(24576), 24576 - kHostReserveMegabytes);
  // A small host still gives what a guest needs to start; an unknown one
  // sets no limit.
  EXPECT_EQ(SpareMemoryMegabytes(3000), 1500);
  EXPECT_EQ(SpareMemoryMegabytes(4096), 2048);
  EXPECT_EQ(SpareMemoryMegabytes(6144), 4096);
  EXPECT_EQ(SpareMemoryMegabytes(1), kMinimumMemoryMegabytes);
  EXPECT_EQ(SpareMemoryMegabytes(0), 0);

  const MachineFacts greedy = WorkOutMachineFacts(Machine(Asked::kBios, 24576 - 512, 64),
                                                  Host(SpareMemoryMegabytes(24576), 2), {});
  EXPECT_EQ(greedy.memoryMegabytes, 22528);
  EXPECT_EQ(greedy.processors, 2);
  EXPECT_EQ(greedy.lowered,
            (std::vector<std::string>{
                "Arbeitsspeicher von 24064 auf 22528 MB gesenkt: der Rechner beh\xE4lt genug "
                "f\xFCr sich",
                "Prozessoren von 64 auf 2 gesenkt: mehr hat der Rechner nicht"}));
  // Exactly what the host can spare is no cause.
  const MachineFacts fits =
      WorkOutMachineFacts(Machine(Asked::kBios, 22528, 2), Host(22528, 2), {});
  EXPECT_EQ(fits.memoryMegabytes, 22528);
  EXPECT_EQ(fits.processors, 2);
  EXPECT_TRUE(fits.lowered.empty());
  // Nor an unknown host, nor QEMU's own default sizes.
  EXPECT_TRUE(
      WorkOutMachineFacts(Machine(Asked::kBios, 1 << 20, 255), Host(0, 0), {}).lowered.empty());
  EXPECT_TRUE(WorkOutMachineFacts(Machine(Asked::kBios), Host(100, 1), {}).lowered.empty());
}

}  // namespace
