#include "player/host/nat_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Ipv4 = std::array<std::uint8_t, 4>;
using Ipv6 = std::array<std::uint8_t, 16>;

constexpr std::uint8_t kTcp = 6;
constexpr std::uint8_t kUdp = 17;
constexpr std::uint8_t kIcmp = 1;
constexpr std::uint8_t kIcmpv6 = 58;

const Ipv4 kOutside = {10, 77, 0, 1};
const Ipv4 kHostSecond = {10, 88, 0, 1};
const Ipv6 kHostIpv6 = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x21};
const Ipv6 kOutsideIpv6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

IpAddress Address(const Ipv4& bytes) {
  IpAddress address;
  std::copy(bytes.begin(), bytes.end(), address.bytes.begin());
  return address;
}

IpAddress Address(const Ipv6& bytes) {
  IpAddress address;
  address.ipv6 = true;
  address.bytes = bytes;
  return address;
}

// The host as the kernel would answer: these addresses end on it, and it
// notes what it was asked.
class ScriptedHost : public HostRoutes {
 public:
  bool EndsOnHost(const IpAddress& address) override {
    asked.push_back(address);
    return std::any_of(own.begin(), own.end(), [&address](const IpAddress& mine) {
      return mine.ipv6 == address.ipv6 && mine.bytes == address.bytes;
    });
  }
  std::vector<IpAddress> own = {Address(Ipv4{10, 77, 0, 2}), Address(kHostSecond),
                                Address(kHostIpv6)};
  std::vector<IpAddress> asked;
};

Bytes Ethernet(std::uint16_t type) {
  Bytes frame = {0x52, 0x54, 0, 0, 0, 1, 0x52, 0x54, 0, 0x12, 0x34, 0x56};
  frame.push_back(static_cast<std::uint8_t>(type >> 8));
  frame.push_back(static_cast<std::uint8_t>(type));
  return frame;
}

// An IPv4 packet of `protocol` with 20 bytes of transport header whose
// destination port is `port`: 54 bytes, as the guest's stack builds it
// before the card pads it.
Bytes Ipv4Packet(const Ipv4& destination, std::uint8_t protocol = kTcp, std::uint16_t port = 80) {
  Bytes frame = Ethernet(0x0800);
  const Bytes header = {0x45, 0, 0, 40, 0, 1, 0x40, 0, 64, protocol, 0, 0, 10, 0, 2, 15};
  frame.insert(frame.end(), header.begin(), header.end());
  frame.insert(frame.end(), destination.begin(), destination.end());
  frame.resize(frame.size() + 20, 0);
  frame[14 + 20 + 2] = static_cast<std::uint8_t>(port >> 8);
  frame[14 + 20 + 3] = static_cast<std::uint8_t>(port);
  return frame;
}

Bytes Ipv6Packet(const Ipv6& destination, std::uint16_t payloadBytes = 8, std::uint8_t next = kUdp,
                 std::uint16_t port = 80) {
  Bytes frame = Ethernet(0x86DD);
  const Bytes header = {0x60,
                        0,
                        0,
                        0,
                        static_cast<std::uint8_t>(payloadBytes >> 8),
                        static_cast<std::uint8_t>(payloadBytes),
                        next,
                        64};
  frame.insert(frame.end(), header.begin(), header.end());
  frame.insert(frame.end(), kOutsideIpv6.begin(), kOutsideIpv6.end());  // source, any
  frame.insert(frame.end(), destination.begin(), destination.end());
  frame.resize(frame.size() + payloadBytes, 0xAB);
  if (payloadBytes >= 4) {
    frame[14 + 40 + 2] = static_cast<std::uint8_t>(port >> 8);
    frame[14 + 40 + 3] = static_cast<std::uint8_t>(port);
  }
  return frame;
}

std::size_t Passed(const Bytes& frame) {
  ScriptedHost host;
  return GuestFrameLengthToPass(frame.data(), frame.size(), host);
}

bool Passes(const Bytes& frame) {
  return Passed(frame) != 0;
}

Bytes Padded(Bytes frame, std::size_t size) {
  frame.resize(size, 0);
  return frame;
}

Ipv6 WithIpv4(Ipv6 prefix, std::size_t at, const Ipv4& address) {
  std::copy(address.begin(), address.end(), prefix.begin() + static_cast<std::ptrdiff_t>(at));
  return prefix;
}

TEST(NatFilter, CutsThePaddingOfShortFramesSoThatTheEngineSeesNoData) {
  const Bytes ack = Ipv4Packet(kOutside);
  ASSERT_EQ(ack.size(), 54u);
  EXPECT_EQ(Passed(ack), 54u);
  // The e1000 pads to the Ethernet minimum; the engine would take the six
  // zero bytes for data.
  EXPECT_EQ(Passed(Padded(ack, 60)), 54u);
  EXPECT_EQ(Passed(Padded(Ipv6Packet(kOutsideIpv6, 4), 64)), 14u + 40u + 4u);
  EXPECT_EQ(Passed(Ipv6Packet(kOutsideIpv6, 100)), 14u + 40u + 100u);
}

TEST(NatFilter, AsksTheHostForEachIpv4DestinationAsItIsSent) {
  ScriptedHost host;
  const Bytes second = Ipv4Packet(kHostSecond);
  EXPECT_EQ(GuestFrameLengthToPass(second.data(), second.size(), host), 0u);
  const Bytes outside = Ipv4Packet(kOutside);
  EXPECT_EQ(GuestFrameLengthToPass(outside.data(), outside.size(), host), 54u);
  ASSERT_EQ(host.asked.size(), 2u);
  EXPECT_EQ(host.asked[1].bytes[1], 77);
  EXPECT_FALSE(host.asked[1].ipv6);
  // An address the host gains later ends on it from then on.
  host.own.push_back(Address(kOutside));
  EXPECT_EQ(GuestFrameLengthToPass(outside.data(), outside.size(), host), 0u);
  // Never worth a question: never anywhere but on the host or nowhere.
  host.asked.clear();
  for (const Ipv4& address :
       {Ipv4{127, 0, 0, 1}, Ipv4{127, 0, 0, 53}, Ipv4{0, 0, 0, 0}, Ipv4{0, 1, 2, 3},
        Ipv4{169, 254, 1, 1}, Ipv4{224, 0, 0, 251}, Ipv4{239, 255, 255, 250}, Ipv4{240, 0, 0, 1}}) {
    for (const std::uint8_t protocol : {kTcp, kUdp, kIcmp}) {
      const Bytes frame = Ipv4Packet(address, protocol);
      EXPECT_EQ(GuestFrameLengthToPass(frame.data(), frame.size(), host), 0u)
          << int(address[0]) << "." << int(address[3]) << " " << int(protocol);
    }
  }
  EXPECT_TRUE(host.asked.empty());
  EXPECT_TRUE(Passes(Ipv4Packet({128, 0, 0, 1}, kUdp, 443)));
  EXPECT_TRUE(Passes(Ipv4Packet({126, 255, 255, 255}, kIcmp)));
}

TEST(NatFilter, TheEnginesOwnAddressesServeOnlyDhcpDnsAndIcmp) {
  const Ipv4 router = kNatGateway;
  const Ipv4 dns = kNatDns;
  EXPECT_TRUE(Passes(Ipv4Packet(dns, kUdp, 53)));
  EXPECT_TRUE(Passes(Ipv4Packet(dns, kTcp, 53)));
  EXPECT_TRUE(Passes(Ipv4Packet(dns, kIcmp)));
  // Anything else at the DNS service would reach the host's resolver's
  // address (127.0.0.53) on another port.
  EXPECT_FALSE(Passes(Ipv4Packet(dns, kTcp, 47011)));
  EXPECT_FALSE(Passes(Ipv4Packet(dns, kUdp, 5353)));
  EXPECT_TRUE(Passes(Ipv4Packet(router, kUdp, 67)));
  EXPECT_TRUE(Passes(Ipv4Packet(router, kIcmp)));
  EXPECT_FALSE(Passes(Ipv4Packet(router, kTcp, 80)));
  EXPECT_FALSE(Passes(Ipv4Packet(router, kUdp, 53)));
  EXPECT_FALSE(Passes(Ipv4Packet(router, kTcp, 67)));
  EXPECT_FALSE(Passes(Ipv4Packet({10, 0, 2, 4}, kIcmp)));
  EXPECT_FALSE(Passes(Ipv4Packet({10, 0, 2, 255}, kUdp, 67)));
  EXPECT_TRUE(Passes(Ipv4Packet({255, 255, 255, 255}, kUdp, 67)));
  EXPECT_FALSE(Passes(Ipv4Packet({255, 255, 255, 255}, kUdp, 137)));
  EXPECT_FALSE(Passes(Ipv4Packet({255, 255, 255, 255}, kTcp, 67)));
  // The same for IPv6.
  const Ipv6 router6 = kNatGateway6;
  const Ipv6 dns6 = kNatDns6;
  EXPECT_TRUE(Passes(Ipv6Packet(dns6, 8, kUdp, 53)));
  EXPECT_TRUE(Passes(Ipv6Packet(dns6, 20, kTcp, 53)));
  EXPECT_FALSE(Passes(Ipv6Packet(dns6, 20, kTcp, 22)));
  EXPECT_TRUE(Passes(Ipv6Packet(router6, 8, kIcmpv6)));
  EXPECT_FALSE(Passes(Ipv6Packet(router6, 20, kTcp, 80)));
  EXPECT_FALSE(Passes(Ipv6Packet(router6, 8, kUdp, 67)));
  Ipv6 other6 = kNatGateway6;
  other6[15] = 9;
  EXPECT_FALSE(Passes(Ipv6Packet(other6, 8, kUdp, 53)));
}

TEST(NatFilter, DropsEveryIpv6DestinationOnTheHostAndThoseThatHideAnIpv4One) {
  Ipv6 loopback{};
  loopback[15] = 1;
  EXPECT_FALSE(Passes(Ipv6Packet(loopback)));
  EXPECT_FALSE(Passes(Ipv6Packet(Ipv6{})));
  EXPECT_FALSE(Passes(Ipv6Packet(kHostIpv6)));
  const Ipv6 mapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  const Ipv6 nat64 = {0, 0x64, 0xff, 0x9b};
  const Ipv6 sixToFour = {0x20, 0x02};
  for (const Ipv4& onHost : {Ipv4{127, 0, 0, 1}, kHostSecond, Ipv4{0, 0, 0, 0}}) {
    EXPECT_FALSE(Passes(Ipv6Packet(WithIpv4(mapped, 12, onHost))));
    EXPECT_FALSE(Passes(Ipv6Packet(WithIpv4(Ipv6{}, 12, onHost))));  // IPv4-compatible
    EXPECT_FALSE(Passes(Ipv6Packet(WithIpv4(nat64, 12, onHost))));
    EXPECT_FALSE(Passes(Ipv6Packet(WithIpv4(sixToFour, 2, onHost))));
  }
  // A translator reaches the outside's IPv4 address; a dual-stack socket
  // is never given one.
  EXPECT_TRUE(Passes(Ipv6Packet(WithIpv4(nat64, 12, kOutside))));
  EXPECT_TRUE(Passes(Ipv6Packet(WithIpv4(sixToFour, 2, kOutside))));
  EXPECT_FALSE(Passes(Ipv6Packet(WithIpv4(mapped, 12, kOutside))));
  // Link-local and site-local addresses are the host's own links.
  const Ipv6 linkLocal = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_FALSE(Passes(Ipv6Packet(linkLocal, 20, kTcp, 22)));
  const Ipv6 siteLocal = {0xfe, 0xc0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_FALSE(Passes(Ipv6Packet(siteLocal)));
  EXPECT_TRUE(Passes(Ipv6Packet(kOutsideIpv6, 20, kTcp, 443)));
  ScriptedHost gained;
  gained.own.push_back(Address(kOutsideIpv6));
  const Bytes frame = Ipv6Packet(kOutsideIpv6);
  EXPECT_EQ(GuestFrameLengthToPass(frame.data(), frame.size(), gained), 0u);
}

TEST(NatFilter, MulticastOnlyForNeighbourDiscoveryAndDhcpv6) {
  const Ipv6 mdns = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xfb};
  EXPECT_FALSE(Passes(Ipv6Packet(mdns, 8, kUdp, 5353)));
  const Ipv6 solicited = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xff, 0, 0, 1};
  EXPECT_EQ(Passed(Ipv6Packet(solicited, 24, kIcmpv6)), 14u + 40u + 24u);
  const Ipv6 linkLocal = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
  EXPECT_TRUE(Passes(Ipv6Packet(linkLocal, 24, kIcmpv6)));
  const Ipv6 dhcpServers = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2};
  EXPECT_TRUE(Passes(Ipv6Packet(dhcpServers, 8, kUdp, 547)));
  EXPECT_FALSE(Passes(Ipv6Packet(dhcpServers, 8, kUdp, 548)));
  EXPECT_FALSE(Passes(Ipv6Packet(dhcpServers, 20, kTcp, 547)));
  // A UDP header cut short names no port.
  EXPECT_FALSE(Passes(Ipv6Packet(dhcpServers, 2, kUdp)));
}

TEST(NatFilter, DropsOptionsFragmentsExtensionHeadersAndOtherProtocols) {
  Bytes fragment = Ipv4Packet(kOutside);
  fragment[14 + 6] = 0x20;  // more fragments
  EXPECT_FALSE(Passes(fragment));
  fragment[14 + 6] = 0x00;
  fragment[14 + 7] = 0x01;  // a later fragment
  EXPECT_FALSE(Passes(fragment));
  Bytes dontFragment = Ipv4Packet(kOutside);
  dontFragment[14 + 6] = 0x40;
  EXPECT_TRUE(Passes(dontFragment));
  // A loose source route through the outside back to the host.
  Bytes options = Ipv4Packet(kOutside);
  options[14] = 0x47;
  options[17] = 48;
  const Bytes route = {0x83, 7, 4, 10, 88, 0, 1, 1};
  options.insert(options.begin() + 34, route.begin(), route.end());
  EXPECT_FALSE(Passes(options));
  for (const std::uint8_t protocol : {0, 2, 4, 41, 47, 132}) {
    EXPECT_FALSE(Passes(Ipv4Packet(kOutside, protocol))) << int(protocol);
  }
  for (const std::uint8_t next : {0, 43, 44, 60, 41, 59}) {
    EXPECT_FALSE(Passes(Ipv6Packet(kOutsideIpv6, 16, next))) << int(next);
  }
}

TEST(NatFilter, DropsLengthsThatDoNotFitTheFrame) {
  const Bytes ack = Ipv4Packet(kOutside);
  EXPECT_EQ(Passed(Bytes(ack.begin(), ack.begin() + 13)), 0u);
  EXPECT_EQ(Passed(Bytes(ack.begin(), ack.begin() + 33)), 0u);  // half an IPv4 header
  Bytes longer = ack;
  longer[17] = 41;  // one byte more than the frame holds
  EXPECT_EQ(Passed(longer), 0u);
  Bytes shorter = ack;
  shorter[17] = 19;  // less than its own header
  EXPECT_EQ(Passed(shorter), 0u);
  Bytes noPort = ack;
  noPort[17] = 22;  // two bytes of TCP: no port
  EXPECT_EQ(Passed(noPort), 0u);
  Bytes version = ack;
  version[14] = 0x65;
  EXPECT_EQ(Passed(version), 0u);
  Bytes ipv6 = Ipv6Packet(kOutsideIpv6, 8);
  ipv6[14 + 5] = 9;
  EXPECT_EQ(Passed(ipv6), 0u);
  ipv6 = Ipv6Packet(kOutsideIpv6, 8);
  EXPECT_EQ(Passed(Bytes(ipv6.begin(), ipv6.begin() + 53)), 0u);
  ipv6[14] = 0x40;
  EXPECT_EQ(Passed(ipv6), 0u);
}

TEST(NatFilter, PassesArpWholeAndDropsOtherTypes) {
  Bytes arp = Ethernet(0x0806);
  arp.resize(60, 0);
  EXPECT_EQ(Passed(arp), 60u);
  // A VLAN tag in front of an IPv4 packet to the host: the engine would
  // read past the tag on its own terms.
  Bytes tagged = Ethernet(0x8100);
  const Bytes inner = Ipv4Packet({127, 0, 0, 1});
  tagged.insert(tagged.end(), {0, 1, 0x08, 0x00});
  tagged.insert(tagged.end(), inner.begin() + 14, inner.end());
  EXPECT_EQ(Passed(tagged), 0u);
  for (const std::uint16_t type : {0x88A8, 0x8035, 0x0842, 0x0000}) {
    Bytes frame = Ethernet(static_cast<std::uint16_t>(type));
    frame.resize(60, 0);
    EXPECT_EQ(Passed(frame), 0u) << type;
  }
}

}  // namespace
