// The machine's network cards. A card reaches nothing unless the .vmx asks
// for one; "nat" reaches beyond the host but none of the host's own
// services where passt serves it (Linux); every other kind is kept to the
// guest and QEMU's own user network.
#pragma once

#include <vector>

#include "player/qemu_invocation.h"
#include "player/vmx_settings.h"

inline constexpr int kEthernetCards = 4;

// The numbers of the present cards that ask for NAT, in order.
std::vector<int> NatCards(VmxSettings& settings);

// A NAT card joins its passt through host.natConnections[card]; without
// one (Windows) it gets QEMU's user networking unrestricted.
void AddNetworkArguments(VmxSettings& settings, const QemuHostFacts& host,
                         QemuInvocation& invocation);
