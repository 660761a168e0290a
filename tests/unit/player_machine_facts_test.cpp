#include "player/machine_facts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "player/host_look.h"

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

// A Linux host as the player sees it: QEMU and swtpm found, KVM usable.
HostLook Look() {
  HostLook look;
  look.kvm.usable = true;
  look.qemu = "/usr/bin/qemu-system-x86_64";
  look.swtpm = "/usr/bin/swtpm";
  look.tpmEmulation = true;
  look.memoryMegabytes = 16384;
  look.processors = 8;
  look.audioBackend = "pa";
  look.titleDash = " - ";
  return look;
}

TEST(HostFacts, ChoosesTheAcceleratorAndRefusesAnUnknownOneBeforeAMissingQemu) {
  WorkedOutHost worked = WorkOutHostFacts(Look());
  EXPECT_EQ(worked.refusal, HostRefusal::kNone);
  EXPECT_EQ(worked.facts.accelerator, QemuAccelerator::kKvm);
  HostLook look = Look();
  look.acceleratorOverride = "TCG";
  EXPECT_EQ(WorkOutHostFacts(look).facts.accelerator, QemuAccelerator::kTcg);
  // WHPX only where KVM cannot be used and nothing is asked for.
  look = Look();
  look.whpx = true;
  EXPECT_EQ(WorkOutHostFacts(look).facts.accelerator, QemuAccelerator::kKvm);
  look.kvm.usable = false;
  EXPECT_EQ(WorkOutHostFacts(look).facts.accelerator, QemuAccelerator::kWhpx);
  look.whpx = false;
  EXPECT_EQ(WorkOutHostFacts(look).facts.accelerator, QemuAccelerator::kTcg);

  look = Look();
  look.qemu.clear();
  EXPECT_EQ(WorkOutHostFacts(look).refusal, HostRefusal::kNoQemu);
  look.acceleratorOverride = "hvf";
  EXPECT_EQ(WorkOutHostFacts(look).refusal, HostRefusal::kUnknownAccelerator);
}

TEST(HostFacts, TakesWhatAMachineMayGetAndATpmOnlyWhereSwtpmWasFound) {
  const HostFacts host = WorkOutHostFacts(Look()).facts;
  EXPECT_EQ(host.spareMemoryMegabytes, SpareMemoryMegabytes(16384));
  EXPECT_EQ(host.processors, 8);
  EXPECT_EQ(host.audioBackend, "pa");
  EXPECT_EQ(host.titleDash, " - ");
  EXPECT_TRUE(host.tpmEmulation);
  HostLook look = Look();
  look.swtpm.clear();
  EXPECT_FALSE(WorkOutHostFacts(look).facts.tpmEmulation);
  look = Look();
  look.tpmEmulation = false;
  EXPECT_FALSE(WorkOutHostFacts(look).facts.tpmEmulation);
  look = Look();
  look.separator = '\\';
  EXPECT_EQ(WorkOutHostFacts(look).facts.separator, '\\');
}

// A disk's first sector with boot code and the boot signature: it boots
// with BIOS only.
ReadBytesAt BiosDisk() {
  std::string mbr(512, '\0');
  mbr[0] = static_cast<char>(0xEB);
  mbr[510] = 0x55;
  mbr[511] = static_cast<char>(0xAA);
  return [mbr](std::uint64_t offset, std::size_t count, std::string* bytes) {
    *bytes = offset < mbr.size() ? mbr.substr(offset, count) : std::string();
    return true;
  };
}

TEST(MachineFacts, ReadsTheCdThatBootsFirstElseTheFirstDiskWhoseBytesAreTheGuests) {
  MachineDescription machine;
  machine.drives = {{DriveBus::kIde, 0, 0, false, 0, 0, ""},
                    {DriveBus::kIde, 0, 1, false, 1, 2, ""},
                    {DriveBus::kIde, 1, 0, true, 2, 1, ""}};
  machine.bootCdUse = 2;
  std::vector<std::size_t> asked;
  const MediumReader disks = [&asked](std::size_t use) -> ReadBytesAt {
    asked.push_back(use);
    return BiosDisk();
  };
  // The CD boots first: only it is read, as a CD (a disk's sector 0 is no
  // volume descriptor).
  EXPECT_FALSE(ReadBootMedium(machine, disks).biosBoot);
  EXPECT_EQ(asked, std::vector<std::size_t>{2});

  machine.drives.pop_back();
  machine.bootCdUse = kNoUse;
  asked.clear();
  const BootMediumFacts disk = ReadBootMedium(machine, disks);
  EXPECT_EQ(asked, std::vector<std::size_t>{1});
  EXPECT_TRUE(disk.biosBoot);
  EXPECT_FALSE(disk.uefiBoot);
  EXPECT_TRUE(disk.disk);
  // A disk image of another format than raw (no reader) is unknown.
  const BootMediumFacts unknown =
      ReadBootMedium(machine, [](std::size_t) { return ReadBytesAt(); });
  EXPECT_FALSE(unknown.biosBoot);
  EXPECT_FALSE(unknown.disk);
}

TEST(MachineFacts, TheTcgRetryIsTheSameMachineUnderTcg) {
  MachineFacts facts = WorkOutMachineFacts(Machine(Asked::kEfiSecureBootTpm, 8192, 16),
                                           Host(4096, 4), Cd(false, true, true));
  facts.writesDiscarded = true;
  ASSERT_EQ(facts.accelerator, QemuAccelerator::kKvm);
  const MachineFacts retry = FactsForTcgRetry(facts);
  EXPECT_EQ(retry.accelerator, QemuAccelerator::kTcg);
  MachineFacts expected = facts;
  expected.accelerator = QemuAccelerator::kTcg;
  EXPECT_EQ(retry, expected);
}

}  // namespace
