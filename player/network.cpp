#include "player/network.h"

#include <string>

#include "platform/ascii_case.h"

namespace {

constexpr char kNat[] = "nat";

// The QEMU network card nearest to VMware's virtual device.
std::string NetworkModel(const std::string& virtualDev) {
  const std::string dev = LowerAscii(virtualDev);
  if (dev == "vlance") return "pcnet";
  if (dev == "vmxnet3") return "vmxnet3";
  if (dev == "e1000e") return "e1000e";
  return "e1000";
}

int NatConnection(const std::vector<int>& natConnections, int card) {
  return static_cast<std::size_t>(card) < natConnections.size() ? natConnections[card] : -1;
}

}  // namespace

void DescribeNetworkCards(VmxSettings& settings, MachineDescription& machine) {
  for (int card = 0; card < kEthernetCards; ++card) {
    const std::string prefix = "ethernet" + std::to_string(card) + ".";
    if (!settings.Flag(prefix + "present", false)) continue;
    machine.networkCards.push_back({card, settings.Text(prefix + "virtualDev"),
                                    LowerAscii(settings.Text(prefix + "connectionType"))});
  }
}

std::vector<int> NatCards(const MachineDescription& machine) {
  std::vector<int> cards;
  for (const NetworkCard& card : machine.networkCards) {
    if (card.connectionType == kNat) cards.push_back(card.number);
  }
  return cards;
}

void AddNetworkArguments(const MachineDescription& machine, const std::vector<int>& natConnections,
                         QemuInvocation& invocation) {
  for (const NetworkCard& card : machine.networkCards) {
    const std::string id = "net" + std::to_string(card.number);
    const bool nat = card.connectionType == kNat;
    const int connection = nat ? NatConnection(natConnections, card.number) : -1;
    if (connection >= 0) {
      invocation.Add(
          {"-netdev", "stream,id=" + id + ",addr.type=fd,addr.str=" + std::to_string(connection)});
    } else if (nat) {
      // QEMU's user networking is the only NAT without the player's relay;
      // it maps 10.0.2.2 onto the host's loopback.
      invocation.Add({"-netdev", "user,id=" + id});
    } else {
      invocation.Add({"-netdev", "user,id=" + id + ",restrict=on"});
    }
    // No boot ROM: a machine whose CD does not boot stops at once instead
    // of waiting for a network boot.
    invocation.Add({"-device", NetworkModel(card.virtualDev) + ",netdev=" + id + ",romfile="});
  }
  // QEMU would add a card of its own on unrestricted user networking.
  if (machine.networkCards.empty()) invocation.Add({"-nic", "none"});
}
