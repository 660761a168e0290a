// The mapping of a .vmx configuration onto the arguments of
// qemu-system-x86_64. It needs no system: the facts of the host come in.
// Each concern (accelerator and CPU, firmware, drives, devices, serial
// ports) is a unit of its own that adds its arguments; this one calls them
// in order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "player/file_use.h"
#include "player/vmx_config.h"

enum class QemuAccelerator { kTcg, kKvm, kWhpx };

struct QemuHostFacts {
  QemuAccelerator accelerator = QemuAccelerator::kTcg;
  std::string audioBackend;  // a QEMU -audiodev driver; empty: no sound
  std::string vmxDirectory;  // with its trailing separator; empty: the current one
  char separator = '/';      // '\\' reads paths the Windows way
  // UEFI firmware, found by the caller when the configuration asks for it:
  // the read-only code and the machine's own writable variable store.
  std::string firmwareCode;
  std::string firmwareVariables;
  // The TPM's private state folder beside the .vmx, and the control socket
  // of the swtpm that the caller starts in it.
  std::string tpmStateFolder;
  std::string tpmSocket;
  // By card number: the descriptor that joins a NAT card to its passt,
  // inherited by QEMU; -1 or missing where there is none (Windows).
  std::vector<int> natConnections;
};

struct QemuInvocation {
  // Empty on success; else the German message for the user (Windows-1252).
  std::string error;
  // The arguments after the program's name, each one exactly as QEMU gets it.
  std::vector<std::string> arguments;
  // Every file the machine boots from, mounts or writes, below the .vmx's
  // folder when named relative, in the order of the arguments.
  std::vector<FileUse> uses;
  // The CD image that boots first, as the configuration names it; empty
  // when none does.
  std::string bootCdName;

  void Add(std::initializer_list<std::string> more) {
    arguments.insert(arguments.end(), more.begin(), more.end());
  }
};

QemuInvocation MapVmxToQemu(const VmxConfig& config, const QemuHostFacts& host);

// The title of QEMU's window (QEMU shows "QEMU (title)"): the displayName,
// the file name of the CD that boots, and "Software-Emulation" under TCG, joined
// by en dashes, in UTF-8 as QEMU's GTK window takes it; the configuration's
// bytes pass as they are.
std::string WindowTitle(const std::string& displayName, const std::string& bootCdName,
                        char separator, QemuAccelerator accelerator);

// A value inside a QEMU option list: every comma doubled.
std::string EscapeQemuOptionValue(std::string_view value);

// `name` unchanged when it is absolute, else below `directory`.
std::string ResolveVmxPath(std::string_view name, const std::string& directory, char separator);

// The .vmx's path without its extension ".vmx" (any case): the base of the
// files the player keeps beside a machine (its UEFI store, its TPM state).
std::string MachineFileBase(const std::string& vmxFile);

// Limits of what the player passes on.
inline constexpr long long kMinimumMemoryMegabytes = 4;
inline constexpr long long kMaximumMemoryMegabytes = 1024LL * 1024;  // 1 TB
inline constexpr long long kMaximumProcessors = 255;
