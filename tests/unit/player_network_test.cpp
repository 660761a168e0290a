#include "player/network.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "player/devices.h"
#include "player/host/frame_relay.h"
#include "player/nat_service.h"
#include "player/vmx_config.h"

namespace {

using Arguments = std::vector<std::string>;

MachineDescription Describe(const std::string& text) {
  const VmxConfig config = ParseVmxText(text);
  VmxSettings settings(config);
  MachineDescription machine;
  DescribeNetworkCards(settings, machine);
  DescribeDevices(settings, machine);
  return machine;
}

Arguments Texts(const QemuInvocation& invocation) {
  Arguments texts;
  for (const QemuArgument& argument : invocation.arguments) texts.push_back(argument.text);
  return texts;
}

Arguments NetworkArguments(const std::string& text, const std::vector<int>& connections = {}) {
  QemuInvocation invocation;
  AddNetworkArguments(Describe(text), connections, invocation);
  return Texts(invocation);
}

std::vector<int> Nat(const std::string& text) {
  return NatCards(Describe(text));
}

std::vector<int> WithConnections(std::vector<int> connections) {
  return connections;
}

TEST(Network, AMachineWithoutCardsGetsNoNetworkAtAll) {
  // QEMU adds a card on unrestricted user networking unless told not to.
  const Arguments none = {"-nic", "none"};
  EXPECT_EQ(NetworkArguments(""), none);
  EXPECT_EQ(NetworkArguments("ethernet0.connectionType = \"nat\"\n"), none);
  EXPECT_EQ(NetworkArguments("ethernet0.present = \"FALSE\"\nethernet0.connectionType = \"nat\"\n"
                             "ethernet4.present = \"TRUE\"\n"),
            none);
  EXPECT_TRUE(Nat("ethernet0.connectionType = \"nat\"\nethernet4.present = \"TRUE\"\n"
                  "ethernet4.connectionType = \"nat\"\n")
                  .empty());
}

TEST(Network, NatCardsJoinThePlayersNatAndEveryOtherKindStaysRestricted) {
  const std::string text =
      "ethernet0.present = \"TRUE\"\nethernet0.connectionType = \"hostonly\"\n"
      "ethernet1.present = \"TRUE\"\nethernet1.connectionType = \"NAT\"\n"
      "ethernet1.virtualDev = \"vmxnet3\"\n"
      "ethernet2.present = \"TRUE\"\nethernet2.connectionType = \"bridged\"\n"
      "ethernet3.present = \"TRUE\"\nethernet3.connectionType = \"nat\"\n"
      "ethernet3.virtualDev = \"vlance\"\n";
  EXPECT_EQ(Nat(text), (std::vector<int>{1, 3}));
  // A connection handed for a card that does not ask for NAT is not used.
  const Arguments expected = {"-netdev", "user,id=net0,restrict=on",
                              "-device", "e1000,netdev=net0,romfile=",
                              "-netdev", "stream,id=net1,addr.type=fd,addr.str=17",
                              "-device", "vmxnet3,netdev=net1,romfile=",
                              "-netdev", "user,id=net2,restrict=on",
                              "-device", "e1000,netdev=net2,romfile=",
                              "-netdev", "stream,id=net3,addr.type=fd,addr.str=9",
                              "-device", "pcnet,netdev=net3,romfile="};
  EXPECT_EQ(NetworkArguments(text, WithConnections({5, 17, 6, 9})), expected);
}

TEST(Network, NatWithoutThePlayersRelayIsQemusUserNetworking) {
  // Windows: no connection; a shorter list leaves later cards without one.
  const std::string text =
      "ethernet0.present = \"TRUE\"\nethernet0.connectionType = \"nat\"\n"
      "ethernet2.present = \"TRUE\"\nethernet2.connectionType = \"nat\"\n";
  const Arguments expected = {"-netdev", "user,id=net0", "-device", "e1000,netdev=net0,romfile=",
                              "-netdev", "user,id=net2", "-device", "e1000,netdev=net2,romfile="};
  EXPECT_EQ(NetworkArguments(text), expected);
  EXPECT_EQ(NetworkArguments(text, WithConnections({-1, 4})), expected);
}

TEST(Network, NothingIsPreparedWithoutANatCardOrWithoutTheRelayOnTheHost) {
  std::vector<int> connections;
  NatService unasked;
  EXPECT_EQ(unasked.Prepare({}, &connections), "");
  EXPECT_TRUE(connections.empty());
  EXPECT_EQ(unasked.Start(), "");
  EXPECT_TRUE(unasked.Descriptors().empty());
  if (HostRelaysNat()) return;
  NatService windows;
  EXPECT_EQ(windows.Prepare({0, 2}, &connections), "");
  EXPECT_TRUE(connections.empty());
  EXPECT_EQ(windows.Start(), "");
  EXPECT_TRUE(windows.Descriptors().empty());
}

TEST(Devices, SoundPlaysThroughAnOutputOnlyCodec) {
  HostFacts host;
  host.audioBackend = "pa";
  QemuInvocation invocation;
  AddPeripheralArguments(Describe("sound.present = \"TRUE\"\n"), host, invocation);
  // The codec has no input: the host's microphone never reaches the guest.
  const Arguments expected = {"-audiodev", "pa,id=sound0", "-device",
                              "intel-hda", "-device",      "hda-output,audiodev=sound0"};
  EXPECT_EQ(Texts(invocation), expected);
}

}  // namespace
