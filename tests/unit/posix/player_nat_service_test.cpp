#include "player/nat_service.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "player/host/machine_connection.h"
#include "player/host/posix/kernel_routes.h"

namespace {

// Reads what is there within `milliseconds`; "<eof>" when the peer closed.
std::string ReadSome(int fd, int milliseconds) {
  pollfd waiting{fd, POLLIN, 0};
  if (poll(&waiting, 1, milliseconds) != 1) return "<nothing>";
  char buffer[4096];
  const ssize_t got = read(fd, buffer, sizeof(buffer));
  if (got <= 0) return "<eof>";
  return std::string(buffer, static_cast<std::size_t>(got));
}

TEST(MachineConnection, ARenewedPairKeepsTheMachinesNumberAndEndsTheOldOne) {
  MachineConnection connection;
  EXPECT_EQ(connection.machineEnd(), -1);
  ASSERT_TRUE(connection.Renew());
  const int machine = connection.machineEnd();
  ASSERT_GT(machine, 2);
  ASSERT_EQ(write(connection.relayEnd(), "x", 1), 1);
  EXPECT_EQ(ReadSome(machine, 1000), "x");
  // The earlier run's relay holds a copy of its end.
  const int earlierRelay = dup(connection.relayEnd());
  ASSERT_TRUE(connection.Renew());
  EXPECT_EQ(connection.machineEnd(), machine);
  EXPECT_EQ(ReadSome(earlierRelay, 1000), "<eof>");
  close(earlierRelay);
  ASSERT_EQ(write(machine, "y", 1), 1);
  EXPECT_EQ(ReadSome(connection.relayEnd(), 1000), "y");
  connection.CloseRelayEnd();
  EXPECT_EQ(connection.relayEnd(), -1);
  EXPECT_EQ(ReadSome(machine, 1000), "<eof>");
}

// One ARP request for the engine's router, framed as QEMU's stream network
// sends it.
std::string FramedArpRequest() {
  const std::uint8_t frame[] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x52, 0x54, 0x00, 0x12,
                                0x34, 0x56, 0x08, 0x06,                          // Ethernet
                                0x00, 0x01, 0x08, 0x00, 6,    4,    0x00, 0x01,  // request
                                0x52, 0x54, 0x00, 0x12, 0x34, 0x56, 10,   0,    2,    15,  // sender
                                0,    0,    0,    0,    0,    0,    10,   0,    2,    2};  // target
  std::string framed = {0, 0, 0, static_cast<char>(sizeof(frame))};
  return framed + std::string(reinterpret_cast<const char*>(frame), sizeof(frame));
}

TEST(NatService, EachRunGetsAFreshRelayOnTheConnectionsQemuInherits) {
  NatService nat;
  std::vector<int> connections;
  ASSERT_EQ(nat.Prepare({1, 3}, &connections), "");
  ASSERT_EQ(connections.size(), 4u);
  EXPECT_EQ(connections[0], -1);
  EXPECT_EQ(connections[2], -1);
  const std::vector<int> machine = {connections[1], connections[3]};
  EXPECT_EQ(nat.Descriptors(), machine);
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(nat.Start(), "");
    // The same numbers each run: the arguments that name them stay right.
    EXPECT_EQ(nat.Descriptors(), machine);
    for (int end : machine) {
      const std::string arp = FramedArpRequest();
      ASSERT_EQ(write(end, arp.data(), arp.size()), static_cast<ssize_t>(arp.size()));
      const std::string reply = ReadSome(end, 3000);
      // The engine's ARP reply, padded to its own minimum.
      ASSERT_GE(reply.size(), 4u + 42u);
      EXPECT_EQ(reply.substr(0, 3), std::string("\0\0\0", 3));
      EXPECT_EQ(reply.substr(4 + 12, 2), "\x08\x06");
    }
    nat.Stop();
    // The player let go of the relay's ends: QEMU sees them close with it.
    for (int end : machine) EXPECT_EQ(ReadSome(end, 3000), "<eof>");
  }
}

IpAddress Address(const char* text) {
  IpAddress address;
  address.ipv6 = std::string(text).find(':') != std::string::npos;
  inet_pton(address.ipv6 ? AF_INET6 : AF_INET, text, address.bytes.data());
  return address;
}

// The kernel's answers in a network namespace of the test's own, before
// and after the host there gains an address and a local route; `ip` runs
// in it because a child takes its parent thread's namespace.
TEST(KernelRoutes, AnswersFollowTheHostsAddressesAndRoutesAsTheyChange) {
  if (geteuid() != 0) GTEST_SKIP() << "a network namespace needs root";
  std::string failure;
  std::thread inNamespace([&failure] {
    if (unshare(CLONE_NEWNET) != 0) {
      failure = "skip";
      return;
    }
    if (std::system("ip link set lo up && ip link add tw0 type veth peer name tw1 && ip link set "
                    "tw0 up && ip link set tw1 up && "
                    "ip addr add 10.98.0.2/24 dev tw0 && "
                    "ip addr add 2001:db8:98::2/64 dev tw0 nodad") != 0) {
      failure = "skip";
      return;
    }
    // The kernel makes an IPv6 address the host's (its local route) after
    // `ip` returns, once the link has its carrier and the address is set up;
    // until then a packet to it would not end on the host either.
    auto settled = [](const char* address) {
      const std::string wait =
          std::string("for i in $(seq 50); do ip -6 route show table local | ") +
          "grep -q '^local " + address + " ' && exit 0; sleep 0.1; done; exit 1";
      return std::system(wait.c_str()) == 0;
    };
    if (!settled("2001:db8:98::2")) {
      failure = "the veth pair's address was never the host's";
      return;
    }
    KernelRoutes routes;
    if (!routes.Open()) {
      failure = "the netlink sockets could not be opened";
      return;
    }
    auto expect = [&routes, &failure](const char* address, bool onHost) {
      routes.TakeChanges();
      if (routes.EndsOnHost(Address(address)) != onHost) {
        failure += std::string(address) + (onHost ? " left the host; " : " stayed on the host; ");
      }
    };
    expect("127.0.0.1", true);
    expect("::1", true);
    expect("10.98.0.2", true);
    expect("10.98.0.255", true);  // the subnet's broadcast
    expect("2001:db8:98::2", true);
    expect("10.98.0.7", false);
    expect("10.97.0.9", true);  // no route at all
    expect("2001:db8:98::7", false);
    if (std::system("ip addr add 10.98.0.7/24 dev tw0 && ip addr add 2001:db8:98::7/64 dev tw0 "
                    "nodad && ip route add local 10.98.0.128/25 dev lo") != 0) {
      failure += "ip refused the change";
      return;
    }
    if (!settled("2001:db8:98::7")) {
      failure += "the added address was never the host's";
      return;
    }
    expect("10.98.0.7", true);
    expect("2001:db8:98::7", true);
    expect("10.98.0.200", true);
    expect("10.98.0.8", false);
  });
  inNamespace.join();
  if (failure == "skip") GTEST_SKIP() << "no network namespace with a veth pair here";
  EXPECT_EQ(failure, "");
}

}  // namespace
