#include "player/host/frame_relay.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <vector>

#include "player/host/nat_filter.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Ipv4 = std::array<std::uint8_t, 4>;

const Bytes kGuestMac = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
const Ipv4 kGuest = {10, 0, 2, 15};

Bytes Framed(const Bytes& frame) {
  Bytes framed = {0, 0, static_cast<std::uint8_t>(frame.size() >> 8),
                  static_cast<std::uint8_t>(frame.size())};
  framed.insert(framed.end(), frame.begin(), frame.end());
  return framed;
}

void SendAll(int fd, const Bytes& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t now = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (now <= 0) return;
    sent += static_cast<std::size_t>(now);
  }
}

// Reads `count` bytes; fewer when the peer closed or nothing came for 3 s.
Bytes Receive(int fd, std::size_t count) {
  Bytes got(count);
  std::size_t have = 0;
  while (have < count) {
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, 3000) != 1) break;
    const ssize_t now = read(fd, got.data() + have, count - have);
    if (now <= 0) break;
    have += static_cast<std::size_t>(now);
  }
  got.resize(have);
  return got;
}

// The next frame the engine sent the guest; empty when none came.
Bytes NextFrame(int fd) {
  const Bytes length = Receive(fd, 4);
  if (length.size() != 4) return {};
  return Receive(fd, static_cast<std::size_t>(length[2] << 8 | length[3]));
}

// The first frame of EtherType `type` the engine sends; others (neighbour
// discovery, say) are passed over.
Bytes NextFrameOfType(int fd, std::uint16_t type) {
  for (int seen = 0; seen < 16; ++seen) {
    const Bytes frame = NextFrame(fd);
    if (frame.size() < 14) return {};
    if ((frame[12] << 8 | frame[13]) == type) return frame;
  }
  return {};
}

bool SeesEnd(int fd) {
  pollfd waiting{fd, POLLIN, 0};
  std::uint8_t byte;
  return poll(&waiting, 1, 3000) == 1 && read(fd, &byte, 1) == 0;
}

Bytes ArpRequest(const Ipv4& target) {
  Bytes frame = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  frame.insert(frame.end(), kGuestMac.begin(), kGuestMac.end());
  frame.insert(frame.end(), {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01});
  frame.insert(frame.end(), kGuestMac.begin(), kGuestMac.end());
  frame.insert(frame.end(), kGuest.begin(), kGuest.end());
  frame.insert(frame.end(), 6, 0);
  frame.insert(frame.end(), target.begin(), target.end());
  frame.resize(60, 0);  // as the card pads it
  return frame;
}

std::uint16_t Checksum(const std::uint8_t* bytes, std::size_t size, std::uint32_t sum = 0) {
  for (std::size_t i = 0; i + 1 < size; i += 2)
    sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  if (size % 2) sum += static_cast<std::uint32_t>(bytes[size - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

// An IPv4 packet from the guest with its checksums right, as the engine
// checks them.
Bytes Ipv4Frame(const Ipv4& destination, std::uint8_t protocol, const Bytes& transport) {
  Bytes frame = {0x52, 0x55, 0x0a, 0x00, 0x02, 0x02};
  frame.insert(frame.end(), kGuestMac.begin(), kGuestMac.end());
  frame.insert(frame.end(), {0x08, 0x00});
  const std::size_t total = 20 + transport.size();
  Bytes ip = {0x45,
              0,
              static_cast<std::uint8_t>(total >> 8),
              static_cast<std::uint8_t>(total),
              0,
              1,
              0x40,
              0,
              64,
              protocol,
              0,
              0};
  const Ipv4 source = protocol == 17 && transport[1] == 68 ? Ipv4{} : kGuest;
  ip.insert(ip.end(), source.begin(), source.end());
  ip.insert(ip.end(), destination.begin(), destination.end());
  const std::uint16_t headerSum = Checksum(ip.data(), ip.size());
  ip[10] = static_cast<std::uint8_t>(headerSum >> 8);
  ip[11] = static_cast<std::uint8_t>(headerSum);
  Bytes segment = transport;
  Bytes pseudo(ip.begin() + 12, ip.begin() + 20);
  pseudo.insert(pseudo.end(), {0, protocol, static_cast<std::uint8_t>(segment.size() >> 8),
                               static_cast<std::uint8_t>(segment.size())});
  std::uint32_t partial = 0;
  for (std::size_t i = 0; i < pseudo.size(); i += 2) partial += pseudo[i] << 8 | pseudo[i + 1];
  const std::size_t sumAt = protocol == 6 ? 16 : 6;
  const std::uint16_t sum = Checksum(segment.data(), segment.size(), partial);
  segment[sumAt] = static_cast<std::uint8_t>(sum >> 8);
  segment[sumAt + 1] = static_cast<std::uint8_t>(sum);
  frame.insert(frame.end(), ip.begin(), ip.end());
  frame.insert(frame.end(), segment.begin(), segment.end());
  return frame;
}

Bytes TcpSyn(const Ipv4& destination, std::uint16_t port) {
  Bytes tcp = {0x9c,
               0x40,
               static_cast<std::uint8_t>(port >> 8),
               static_cast<std::uint8_t>(port),
               0,
               0,
               0,
               1,
               0,
               0,
               0,
               0,
               0x50,
               0x02,
               0xff,
               0xff,
               0,
               0,
               0,
               0};
  return Ipv4Frame(destination, 6, tcp);
}

Bytes DhcpDiscover() {
  Bytes udp = {0, 68, 0, 67, 0, 0, 0, 0};
  Bytes bootp(236 + 312, 0);
  bootp[0] = 1;  // request
  bootp[1] = 1;  // Ethernet
  bootp[2] = 6;
  bootp[4] = 0x12;  // transaction
  std::copy(kGuestMac.begin(), kGuestMac.end(), bootp.begin() + 28);
  const Bytes options = {99, 130, 83, 99, 53, 1, 1, 255};
  std::copy(options.begin(), options.end(), bootp.begin() + 236);
  udp.insert(udp.end(), bootp.begin(), bootp.end());
  udp[4] = static_cast<std::uint8_t>(udp.size() >> 8);
  udp[5] = static_cast<std::uint8_t>(udp.size());
  return Ipv4Frame({255, 255, 255, 255}, 17, udp);
}

// QEMU's side of a running relay with two cards, as the player joins them.
class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<int> relayEnds;
    for (int& qemu : qemu_) {
      int ends[2];
      ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
      qemu = ends[0];
      relayEnds.push_back(ends[1]);
    }
    ASSERT_TRUE(relay_.Start(relayEnds));
    for (int end : relayEnds) close(end);
  }
  void TearDown() override {
    relay_.Stop();
    for (int qemu : qemu_) {
      if (qemu >= 0) close(qemu);
    }
  }

  FrameRelay relay_;
  std::array<int, 2> qemu_ = {-1, -1};
};

TEST_F(RelayTest, EachCardsEngineAnswersItsGuestThroughTheStream) {
  ASSERT_TRUE(HostRelaysNat());
  // QEMU may write a frame in pieces; the length itself too.
  const Bytes arp = Framed(ArpRequest(kNatGateway));
  for (std::size_t at = 0; at < arp.size(); at += 3) {
    SendAll(qemu_[1],
            Bytes(arp.begin() + static_cast<std::ptrdiff_t>(at),
                  arp.begin() + static_cast<std::ptrdiff_t>(std::min(at + 3, arp.size()))));
  }
  const Bytes reply = NextFrameOfType(qemu_[1], 0x0806);
  ASSERT_GE(reply.size(), 42u);
  EXPECT_EQ(reply[21], 2);  // a reply
  EXPECT_EQ(Bytes(reply.begin() + 28, reply.begin() + 32),
            Bytes(kNatGateway.begin(), kNatGateway.end()));
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 6), kGuestMac);

  SendAll(qemu_[0], Framed(DhcpDiscover()));
  const Bytes offer = NextFrameOfType(qemu_[0], 0x0800);
  ASSERT_GT(offer.size(), 14u + 20u + 8u + 20u);
  EXPECT_EQ(offer[14 + 9], 17);
  EXPECT_EQ(offer[14 + 20 + 1], 67);  // from the DHCP server
  EXPECT_EQ(Bytes(offer.begin() + 58, offer.begin() + 62), Bytes(kGuest.begin(), kGuest.end()));
}

TEST_F(RelayTest, NothingOnTheHostsLoopbackIsConnected) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(listen(listener, 8), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
  const std::uint16_t port = ntohs(address.sin_port);
  SendAll(qemu_[0], Framed(ArpRequest(kNatGateway)));
  ASSERT_FALSE(NextFrameOfType(qemu_[0], 0x0806).empty());
  // QEMU's user network maps its router onto the host's loopback, and the
  // DNS service's address onto the host's resolver.
  for (const Ipv4& destination : {Ipv4{127, 0, 0, 1}, kNatGateway, kNatDns, Ipv4{0, 0, 0, 0}}) {
    SendAll(qemu_[0], Framed(TcpSyn(destination, port)));
  }
  // Each is refused at once, by a reset from its destination.
  for (int refused = 0; refused < 4; ++refused) {
    const Bytes reset = NextFrameOfType(qemu_[0], 0x0800);
    ASSERT_GE(reset.size(), 14u + 40u);
    EXPECT_EQ(reset[14 + 20 + 13], 0x14);
    EXPECT_EQ(Bytes(reset.begin() + 30, reset.begin() + 34), Bytes(kGuest.begin(), kGuest.end()));
  }
  // The engine takes frames in order: once this is answered, the ones
  // before it were dealt with, and a connection to the loopback is made
  // within the engine's connect.
  SendAll(qemu_[0], Framed(ArpRequest(kNatDns)));
  ASSERT_FALSE(NextFrameOfType(qemu_[0], 0x0806).empty());
  pollfd waiting{listener, POLLIN, 0};
  EXPECT_EQ(poll(&waiting, 1, 0), 0);
  close(listener);
}

TEST_F(RelayTest, StopEndsQemusConnectionsAndALengthNoFrameHasEndsTheRelay) {
  relay_.Stop();
  EXPECT_TRUE(SeesEnd(qemu_[0]));
  EXPECT_TRUE(SeesEnd(qemu_[1]));
  for (int& qemu : qemu_) close(qemu);
  SetUp();
  SendAll(qemu_[0], {0, 1, 0, 0});  // 65536
  EXPECT_TRUE(SeesEnd(qemu_[0]));
  EXPECT_TRUE(SeesEnd(qemu_[1]));
}

}  // namespace
