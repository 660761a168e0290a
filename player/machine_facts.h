// The facts that several units need, worked out once: the host's (from
// what the player saw of it), what the medium that boots first says of
// itself, the firmware (as the .vmx asks, or as that medium needs it),
// Secure Boot and the machine type, the TPM, the accelerator, memory and
// processors. No unit works any of them out again; each takes what it
// needs from here.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "player/machine_description.h"
#include "player/read_bytes_at.h"

struct HostLook;

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
  // What a machine may get at most: SpareMemoryMegabytes of the physical
  // memory, and the processors; 0 when unknown.
  long long spareMemoryMegabytes = 0;
  long long processors = 0;
  bool tpmEmulation = false;  // swtpm is there and QEMU can reach it
};

// `override` is TRENNWICK_PLAYER_ACCEL's value ("kvm", "tcg", "whpx", any
// case; empty when unset). Without it: KVM when it can be used, else WHPX
// when it can, else TCG. False for an override the player does not know.
bool ChooseAccelerator(const std::string& override, bool kvmUsable, bool whpxUsable,
                       QemuAccelerator* accelerator);

// QEMU's name of the accelerator ("kvm", "tcg", "whpx").
const char* AcceleratorName(QemuAccelerator accelerator);

// Why no machine can start on the host at all.
enum class HostRefusal {
  kNone,
  kUnknownAccelerator,  // TRENNWICK_PLAYER_ACCEL names none the player knows
  kNoQemu,
};

struct WorkedOutHost {
  HostFacts facts;  // only where there is no refusal
  HostRefusal refusal = HostRefusal::kNone;
};

// The accelerator (the override, else KVM where usable, else WHPX, else
// TCG), what a machine may get at most, and a TPM only where QEMU can
// emulate one and swtpm was found. An unknown override is refused before
// a missing QEMU.
WorkedOutHost WorkOutHostFacts(const HostLook& look);

// What the medium that boots first says about itself: the CD's El Torito
// catalog and volume descriptor, or, where no CD boots, the raw disk's MBR
// and GPT; all false when unknown or there is none.
struct BootMediumFacts {
  bool biosBoot = false;
  bool uefiBoot = false;
  bool windowsSetup = false;
  bool disk = false;  // the medium is the disk that boots first
};

// The guest's bytes of a use's medium: a CD's file, a disk's only where
// its image is one raw file. No reader (an empty function) otherwise.
using MediumReader = std::function<ReadBytesAt(std::size_t use)>;

// What the medium that boots first says of itself: the CD that boots
// first, else the first disk when its bytes are the guest's. Unknown (all
// false) otherwise, and where a read fails.
BootMediumFacts ReadBootMedium(const MachineDescription& machine, const MediumReader& readerOf);

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
  // What the .vmx asks for beyond what the host can spare, lowered: one own
  // text each, saying from what to what and why.
  std::vector<std::string> lowered;

  bool Uefi() const { return firmware != FirmwareKind::kBios; }
  // Secure Boot keeps its variables from the guest only in system
  // management mode, which QEMU's q35 machine has.
  bool Q35() const { return firmware == FirmwareKind::kEfiSecureBoot; }

  bool operator==(const MachineFacts& other) const = default;
};

// What the host keeps for itself: a machine gets its memory less this.
inline constexpr long long kHostReserveMegabytes = 2048;

// The memory a machine may get on a host with `physicalMegabytes` (0:
// unknown, and then 0): all but the reserve, and on a host too small for
// that half of its memory, so that a guest still starts.
long long SpareMemoryMegabytes(long long physicalMegabytes);

// The memory and processors Windows setup asks for at least.
inline constexpr long long kWindowsSetupMemoryMegabytes = 4096;
inline constexpr long long kWindowsSetupProcessors = 2;

// Windows setup media raise the size to what setup needs as far as the
// host has it; whatever the .vmx or setup asks for beyond what the host
// can spare is lowered to that, so that the host stays usable.
MachineFacts WorkOutMachineFacts(const MachineDescription& machine, const HostFacts& host,
                                 const BootMediumFacts& bootMedium);

// The facts of the one more start after a hardware accelerator failed at
// the start: the same machine under TCG.
MachineFacts FactsForTcgRetry(const MachineFacts& facts);
