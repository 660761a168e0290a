// The machine's network cards. A machine without a card has no network at
// all; "nat" reaches beyond the host but none of the host's own services
// where passt serves it (Linux); every other kind is kept to the guest and
// QEMU's own user network.
#pragma once

#include <vector>

#include "player/machine_description.h"
#include "player/qemu_arguments.h"
#include "player/vmx_settings.h"

inline constexpr int kEthernetCards = 4;

void DescribeNetworkCards(VmxSettings& settings, MachineDescription& machine);

// The numbers of the cards that ask for NAT, in order.
std::vector<int> NatCards(const MachineDescription& machine);

// A NAT card joins its passt through natConnections[card] (QEMU's end of
// the connection); without one (Windows) it gets QEMU's user networking.
void AddNetworkArguments(const MachineDescription& machine, const std::vector<int>& natConnections,
                         QemuInvocation& invocation);
