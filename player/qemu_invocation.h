// The mapping of a .vmx configuration onto the arguments of
// qemu-system-x86_64. It needs no system: the facts of the host come in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "player/vmx_config.h"

struct QemuHostFacts {
  bool kvm = false;          // hardware acceleration can be used
  bool display = true;       // a graphical display is there
  std::string audioBackend;  // a QEMU -audiodev driver; empty: no sound
  std::string vmxDirectory;  // with its trailing separator; empty: the current one
  char separator = '/';      // '\\' reads paths the Windows way
};

struct QemuInvocation {
  // Empty on success; else the German message for the user (Windows-1252).
  std::string error;
  // The arguments after the program's name, each one exactly as QEMU gets it.
  std::vector<std::string> arguments;
  // The image files the machine boots from or mounts, resolved.
  std::vector<std::string> mediaFiles;
};

QemuInvocation MapVmxToQemu(const VmxConfig& config, const QemuHostFacts& host);

// A value inside a QEMU option list: every comma doubled.
std::string EscapeQemuOptionValue(std::string_view value);

// `name` unchanged when it is absolute, else below `directory`.
std::string ResolveVmxPath(std::string_view name, const std::string& directory, char separator);

// Limits of what the player passes on.
inline constexpr long long kMinimumMemoryMegabytes = 4;
inline constexpr long long kMaximumMemoryMegabytes = 1024LL * 1024;  // 1 TB
inline constexpr long long kMaximumProcessors = 255;
inline constexpr int kSerialPorts = 4;
inline constexpr int kEthernetCards = 4;
