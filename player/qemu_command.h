// The mapping of a .vmx configuration onto qemu-system-x86_64, in two
// halves: what the .vmx describes (read once, before anything is decided
// on its files) and QEMU's arguments, rendered from that description, the
// machine facts and what the player made for the machine. Neither half
// needs a system: the facts of the host come in.
#pragma once

#include <string>
#include <vector>

#include "player/firmware.h"
#include "player/machine_description.h"
#include "player/machine_facts.h"
#include "player/qemu_arguments.h"
#include "player/vmx_config.h"

MachineDescription DescribeMachine(const VmxConfig& config, const std::string& vmxDirectory,
                                   char separator);

// What the player made for the machine once its lock was held, each file
// a use in the plan already.
struct MachineState {
  UefiFiles uefi;
  std::string tpmSocket;  // swtpm's control socket as QEMU reaches it
  // QEMU's end of each NAT card's connection to the player, by card number;
  // -1 or missing where there is none.
  std::vector<int> natConnections;
};

// The arguments name the description's uses and the state's, by their
// place in the plan; nothing here refuses: the facts and the state are
// known good.
QemuInvocation MapMachineToQemu(const MachineDescription& machine, const MachineFacts& facts,
                                const HostFacts& host, const MachineState& state);

// The title of QEMU's window (QEMU shows "QEMU (title)"): the displayName,
// the file name of the CD that boots, why the firmware is not the .vmx's,
// "Software-Emulation" under TCG, and that a disk's writes are discarded,
// joined by `dash`; the configuration's
// bytes pass as they are.
std::string WindowTitle(const std::string& displayName, const std::string& bootCdName,
                        const MachineFacts& facts, const HostFacts& host);
