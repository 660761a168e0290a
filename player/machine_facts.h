// The facts that several units need, worked out once: the firmware (as the
// .vmx asks, or as the CD that boots first needs it), Secure Boot and the
// machine type, the TPM, the accelerator, memory and processors. No unit
// works any of them out again; each takes what it needs from here.
#pragma once

#include <string>
#include <vector>

#include "player/machine_description.h"

enum class QemuAccelerator { kTcg, kKvm, kWhpx };

enum class FirmwareKind {
  kBios,
  kEfi,
  kEfiSecureBoot,  // Secure Boot with Microsoft's keys: the q35 machine with SMM
};

// What the player found out about the host before it plans a machine.
struct HostFacts {
  QemuAccelerator accelerator = QemuAccelerator::kTcg;
  std::string audioBackend;  // a QEMU -audiodev driver; empty: no sound
  char separator = '/';      // '\\' reads paths the Windows way
  std::string titleDash;     // the dash between the parts of the window's title
  // What a machine may get at most: the physical memory less what the host
  // keeps for itself, and the processors; 0 when unknown.
  long long spareMemoryMegabytes = 0;
  long long processors = 0;
  bool tpmEmulation = false;  // swtpm is there and QEMU can reach it
};

// What the medium that boots first says about itself: the CD's El Torito
// catalog and volume descriptor, or, where no CD boots, the raw disk's MBR
// and GPT; all false when unknown or there is none.
struct BootMediumFacts {
  bool biosBoot = false;
  bool uefiBoot = false;
  bool windowsSetup = false;
  bool disk = false;  // the medium is the disk that boots first
};

struct MachineFacts {
  FirmwareKind firmware = FirmwareKind::kBios;
  bool tpm = false;
  QemuAccelerator accelerator = QemuAccelerator::kTcg;
  // 0: QEMU's own default.
  long long memoryMegabytes = 0;
  long long processors = 0;
  // Why the firmware or the size is not as the .vmx says, for the window's
  // title ("UEFI, von der CD verlangt", "Windows-Setup"); empty otherwise.
  std::string titleNote;
  // The same for stderr, in a sentence.
  std::string reason;
  // Some disk's writes go to a throw-away overlay (the title says so).
  bool writesDiscarded = false;
  // What Windows setup media need and the host cannot give, one own text
  // each; the machine starts without them.
  std::vector<std::string> shortfalls;

  bool Uefi() const { return firmware != FirmwareKind::kBios; }
  // Secure Boot keeps its variables from the guest only in system
  // management mode, which QEMU's q35 machine has.
  bool Q35() const { return firmware == FirmwareKind::kEfiSecureBoot; }
};

// The memory and processors Windows setup asks for at least.
inline constexpr long long kWindowsSetupMemoryMegabytes = 4096;
inline constexpr long long kWindowsSetupProcessors = 2;

MachineFacts WorkOutMachineFacts(const MachineDescription& machine, const HostFacts& host,
                                 const BootMediumFacts& bootMedium);
