#include "player/host/nat_filter.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Ipv4 = std::array<std::uint8_t, 4>;
using Ipv6 = std::array<std::uint8_t, 16>;

const Ipv4 kOutside = {10, 77, 0, 1};
const Ipv4 kHostSecond = {10, 88, 0, 1};
const Ipv6 kHostIpv6 = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x21};
const Ipv6 kOutsideIpv6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

HostAddresses Host() {
  return {{{10, 77, 0, 2}, kHostSecond}, {kHostIpv6}};
}

Bytes Ethernet(std::uint16_t type) {
  Bytes frame = {0x52, 0x54, 0, 0, 0, 1, 0x52, 0x54, 0, 0x12, 0x34, 0x56};
  frame.push_back(static_cast<std::uint8_t>(type >> 8));
  frame.push_back(static_cast<std::uint8_t>(type));
  return frame;
}

// A TCP segment without payload (an ACK): 54 bytes, as the guest's stack
// builds it before the card pads it.
Bytes Ipv4Ack(const Ipv4& destination) {
  Bytes frame = Ethernet(0x0800);
  const Bytes header = {0x45, 0, 0, 40, 0, 1, 0x40, 0, 64, 6, 0, 0, 10, 77, 0, 2};
  frame.insert(frame.end(), header.begin(), header.end());
  frame.insert(frame.end(), destination.begin(), destination.end());
  frame.resize(frame.size() + 20, 0);  // the TCP header
  frame[14 + 20 + 12] = 0x50;
  frame[14 + 20 + 13] = 0x10;  // ACK
  return frame;
}

Bytes Ipv6Udp(const Ipv6& destination, std::uint16_t payloadBytes) {
  Bytes frame = Ethernet(0x86DD);
  const Bytes header = {0x60,
                        0,
                        0,
                        0,
                        static_cast<std::uint8_t>(payloadBytes >> 8),
                        static_cast<std::uint8_t>(payloadBytes),
                        17,
                        64};
  frame.insert(frame.end(), header.begin(), header.end());
  frame.insert(frame.end(), kOutsideIpv6.begin(), kOutsideIpv6.end());  // source, any
  frame.insert(frame.end(), destination.begin(), destination.end());
  frame.resize(frame.size() + payloadBytes, 0xAB);
  return frame;
}

std::size_t Passed(const Bytes& frame) {
  return GuestFrameLengthToPass(frame.data(), frame.size(), Host());
}

Bytes Padded(Bytes frame, std::size_t size) {
  frame.resize(size, 0);
  return frame;
}

TEST(NatFilter, CutsThePaddingOfShortFramesSoThatPasstSeesNoData) {
  const Bytes ack = Ipv4Ack(kOutside);
  ASSERT_EQ(ack.size(), 54u);
  EXPECT_EQ(Passed(ack), 54u);
  // The e1000 pads to the Ethernet minimum; passt would take the six zero
  // bytes for data.
  EXPECT_EQ(Passed(Padded(ack, 60)), 54u);
  EXPECT_EQ(Passed(Padded(Ipv6Udp(kOutsideIpv6, 2), 64)), 14u + 40u + 2u);
  EXPECT_EQ(Passed(Ipv6Udp(kOutsideIpv6, 100)), 14u + 40u + 100u);
}

TEST(NatFilter, DropsEveryIpv4DestinationOnTheHost) {
  EXPECT_EQ(Passed(Ipv4Ack({127, 0, 0, 1})), 0u);
  EXPECT_EQ(Passed(Ipv4Ack({127, 0, 0, 53})), 0u);  // systemd-resolved
  EXPECT_EQ(Passed(Ipv4Ack({127, 255, 255, 254})), 0u);
  EXPECT_EQ(Passed(Ipv4Ack({0, 0, 0, 0})), 0u);
  EXPECT_EQ(Passed(Ipv4Ack({0, 1, 2, 3})), 0u);
  EXPECT_EQ(Passed(Ipv4Ack(kHostSecond)), 0u);
  EXPECT_EQ(Passed(Ipv4Ack({10, 77, 0, 2})), 0u);
  // Beside the host's addresses, the outside is reached.
  EXPECT_EQ(Passed(Ipv4Ack({10, 88, 0, 2})), 54u);
  EXPECT_EQ(Passed(Ipv4Ack({128, 0, 0, 1})), 54u);
  EXPECT_EQ(Passed(Ipv4Ack({126, 255, 255, 255})), 54u);
  EXPECT_EQ(GuestFrameLengthToPass(Ipv4Ack(kHostSecond).data(), 54, HostAddresses{}), 54u);
}

TEST(NatFilter, DropsEveryIpv6DestinationOnTheHost) {
  Ipv6 loopback{};
  loopback[15] = 1;
  EXPECT_EQ(Passed(Ipv6Udp(loopback, 8)), 0u);
  EXPECT_EQ(Passed(Ipv6Udp(Ipv6{}, 8)), 0u);
  EXPECT_EQ(Passed(Ipv6Udp(kHostIpv6, 8)), 0u);
  // IPv4-mapped: a dual-stack socket reaches the IPv4 host.
  Ipv6 mapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
  EXPECT_EQ(Passed(Ipv6Udp(mapped, 8)), 0u);
  mapped[12] = 127;
  mapped[15] = 77;
  EXPECT_EQ(Passed(Ipv6Udp(mapped, 8)), 0u);
  std::copy(kHostSecond.begin(), kHostSecond.end(), mapped.begin() + 12);
  EXPECT_EQ(Passed(Ipv6Udp(mapped, 8)), 0u);
  std::copy(kOutside.begin(), kOutside.end(), mapped.begin() + 12);
  EXPECT_EQ(Passed(Ipv6Udp(mapped, 8)), 62u);
  // An address the host names in its IPv6 form counts in that form too.
  HostAddresses mappedHost;
  mappedHost.ipv6.push_back(mapped);
  const Bytes toMapped = Ipv6Udp(mapped, 8);
  EXPECT_EQ(GuestFrameLengthToPass(toMapped.data(), toMapped.size(), mappedHost), 0u);
  Ipv6 two{};
  two[15] = 2;
  EXPECT_EQ(Passed(Ipv6Udp(two, 8)), 62u);
  EXPECT_EQ(Passed(Ipv6Udp(kOutsideIpv6, 8)), 62u);
}

TEST(NatFilter, DropsMulticastButWhatPasstAnswersItself) {
  // The socket passt sends from would loop these back to the host's mDNS
  // and SSDP services.
  EXPECT_EQ(Passed(Ipv4Ack({224, 0, 0, 251})), 0u);
  EXPECT_EQ(Passed(Ipv4Ack({239, 255, 255, 250})), 0u);
  EXPECT_EQ(Passed(Ipv4Ack({240, 0, 0, 1})), 54u);
  // DHCP's broadcast is passt's own.
  EXPECT_EQ(Passed(Ipv4Ack({255, 255, 255, 255})), 54u);
  const Ipv6 mdns = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xfb};
  EXPECT_EQ(Passed(Ipv6Udp(mdns, 8)), 0u);
  Ipv6 solicited = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xff, 0, 0, 1};
  Bytes neighbourSolicitation = Ipv6Udp(solicited, 24);
  neighbourSolicitation[14 + 6] = 58;
  EXPECT_EQ(Passed(neighbourSolicitation), 14u + 40u + 24u);
  const Ipv6 dhcpServers = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2};
  Bytes dhcpv6 = Ipv6Udp(dhcpServers, 8);
  dhcpv6[14 + 40 + 2] = 547 >> 8;
  dhcpv6[14 + 40 + 3] = 547 & 0xFF;
  EXPECT_EQ(Passed(dhcpv6), 62u);
  dhcpv6[14 + 40 + 3] = 0x24;  // 548
  EXPECT_EQ(Passed(dhcpv6), 0u);
  // A UDP header cut short names no port.
  EXPECT_EQ(Passed(Ipv6Udp(dhcpServers, 4)), 0u);
}

TEST(NatFilter, DropsLengthsThatDoNotFitTheFrame) {
  const Bytes ack = Ipv4Ack(kOutside);
  EXPECT_EQ(Passed(Bytes(ack.begin(), ack.begin() + 13)), 0u);
  EXPECT_EQ(Passed(Bytes(ack.begin(), ack.begin() + 33)), 0u);  // half an IPv4 header
  Bytes longer = ack;
  longer[17] = 41;  // one byte more than the frame holds
  EXPECT_EQ(Passed(longer), 0u);
  Bytes shorter = ack;
  shorter[17] = 19;  // less than its own header
  EXPECT_EQ(Passed(shorter), 0u);
  Bytes noHeader = ack;
  noHeader[14] = 0x44;  // a header of 16 bytes
  EXPECT_EQ(Passed(noHeader), 0u);
  Bytes version = ack;
  version[14] = 0x65;
  EXPECT_EQ(Passed(version), 0u);
  Bytes ipv6 = Ipv6Udp(kOutsideIpv6, 8);
  ipv6[14 + 5] = 9;
  EXPECT_EQ(Passed(ipv6), 0u);
  ipv6 = Ipv6Udp(kOutsideIpv6, 8);
  EXPECT_EQ(Passed(Bytes(ipv6.begin(), ipv6.begin() + 53)), 0u);
  ipv6[14] = 0x40;
  EXPECT_EQ(Passed(ipv6), 0u);
}

TEST(NatFilter, PassesArpWholeAndDropsOtherTypes) {
  Bytes arp = Ethernet(0x0806);
  arp.resize(60, 0);
  EXPECT_EQ(Passed(arp), 60u);
  // A VLAN tag in front of an IPv4 packet to the host: passt would read
  // past the tag on its own terms.
  Bytes tagged = Ethernet(0x8100);
  const Bytes inner = Ipv4Ack({127, 0, 0, 1});
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
