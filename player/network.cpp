#include "player/network.h"

#include <string>

namespace {

std::string CardPrefix(int card) {
  return "ethernet" + std::to_string(card) + ".";
}

bool CardPresent(VmxSettings& settings, int card) {
  return settings.Flag(CardPrefix(card) + "present", false);
}

bool AsksForNat(VmxSettings& settings, int card) {
  return LowerAscii(settings.Text(CardPrefix(card) + "connectionType")) == "nat";
}

// The QEMU network card nearest to VMware's virtual device.
std::string NetworkModel(const std::string& virtualDev) {
  const std::string dev = LowerAscii(virtualDev);
  if (dev == "vlance") return "pcnet";
  if (dev == "vmxnet3") return "vmxnet3";
  if (dev == "e1000e") return "e1000e";
  return "e1000";
}

int NatConnection(const QemuHostFacts& host, int card) {
  return static_cast<std::size_t>(card) < host.natConnections.size() ? host.natConnections[card]
                                                                     : -1;
}

}  // namespace

std::vector<int> NatCards(VmxSettings& settings) {
  std::vector<int> cards;
  for (int card = 0; card < kEthernetCards; ++card) {
    if (CardPresent(settings, card) && AsksForNat(settings, card)) cards.push_back(card);
  }
  return cards;
}

void AddNetworkArguments(VmxSettings& settings, const QemuHostFacts& host,
                         QemuInvocation& invocation) {
  bool any = false;
  for (int card = 0; card < kEthernetCards; ++card) {
    if (!CardPresent(settings, card)) continue;
    any = true;
    const std::string id = "net" + std::to_string(card);
    const int connection = AsksForNat(settings, card) ? NatConnection(host, card) : -1;
    if (connection >= 0) {
      invocation.Add(
          {"-netdev", "stream,id=" + id + ",addr.type=fd,addr.str=" + std::to_string(connection)});
    } else if (AsksForNat(settings, card)) {
      // QEMU's user networking is the only NAT without passt; it maps
      // 10.0.2.2 onto the host's loopback.
      invocation.Add({"-netdev", "user,id=" + id});
    } else {
      invocation.Add({"-netdev", "user,id=" + id + ",restrict=on"});
    }
    // No boot ROM: a machine whose CD does not boot stops at once instead
    // of waiting for a network boot.
    invocation.Add({"-device", NetworkModel(settings.Text(CardPrefix(card) + "virtualDev")) +
                                   ",netdev=" + id + ",romfile="});
  }
  // QEMU would add a card of its own on unrestricted user networking.
  if (!any) invocation.Add({"-nic", "none"});
}
