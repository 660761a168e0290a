// What a .vmx describes, read once from its settings: the drives and their
// files, serial ports, network cards, size and the devices. It says nothing
// of the host and nothing of QEMU yet: the machine facts are worked out
// from it, the plan decides on its files, and the units render QEMU's
// arguments from all three.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/path_names.h"
#include "player/file_use.h"

inline constexpr std::size_t kNoUse = static_cast<std::size_t>(-1);

enum class DriveBus { kIde, kSata, kScsi, kNvme };

struct Drive {
  DriveBus bus = DriveBus::kIde;
  int controller = 0;
  int unit = 0;
  bool cd = false;
  std::size_t use = kNoUse;    // kNoUse: an empty CD drive
  int bootIndex = 0;           // 1 for the CD that boots first, 2 for the first disk, else 0
  std::string scsiVirtualDev;  // VMware's adapter model (scsiB.virtualDev)

  bool operator==(const Drive& other) const = default;
};

struct NetworkCard {
  int number = 0;
  std::string virtualDev;      // VMware's model, as written
  std::string connectionType;  // lower case; empty when unset

  bool operator==(const NetworkCard& other) const = default;
};

struct MachineDescription {
  // Empty when the .vmx describes a machine that can start; else the
  // German message (Windows-1252) of its first unusable value.
  std::string error;
  std::string displayName;
  std::optional<long long> memoryMegabytes;
  std::optional<long long> processors;
  bool uefiRequested = false;
  bool secureBootRequested = false;
  bool tpmRequested = false;
  std::vector<Drive> drives;
  // The CD that boots first: its use and its name as the .vmx writes it.
  std::size_t bootCdUse = kNoUse;
  std::string bootCdName;
  // One entry per port up to the last one written to a file: its use, or
  // kNoUse for a port that is there but connected to nothing.
  std::vector<std::size_t> serialPorts;
  std::vector<NetworkCard> networkCards;
  bool usb = false;
  bool sound = false;
  bool floppy = false;
  bool fullScreen = false;
  // Every file the .vmx names, in the order of the drives and ports.
  std::vector<FileUse> uses;
};

// Limits of what the player passes on.
inline constexpr long long kMinimumMemoryMegabytes = 4;
inline constexpr long long kMaximumMemoryMegabytes = 1024LL * 1024;  // 1 TB
inline constexpr long long kMaximumProcessors = 255;

// `name` unchanged when it is absolute, else below `directory` (a bare
// relative name gets "./", so that QEMU never reads "x:" in it as a
// protocol).
inline std::string ResolveVmxPath(const std::string& name, const std::string& directory,
                                  char separator) {
  if (IsAbsolutePath(name, separator)) return name;
  return (directory.empty() ? std::string(".") + separator : directory) + name;
}
