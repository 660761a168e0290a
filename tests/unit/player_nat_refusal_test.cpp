#include "player/host/nat_refusal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kGuestMac = {0x52, 0x54, 0, 0x12, 0x34, 0x56};
const Bytes kRouterMac = {0x52, 0x55, 10, 0, 2, 2};

std::uint16_t Folded(const std::uint8_t* bytes, std::size_t size, std::uint32_t sum = 0) {
  for (std::size_t i = 0; i + 1 < size; i += 2)
    sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}

Bytes Segment(std::uint8_t flags) {
  // Port 40000 to 47011, sequence 0x01020304.
  return {0x9c, 0x40, 0xb7, 0xa3, 1, 2, 3, 4, 0, 0, 0, 0, 0x50, flags, 0xff, 0xff, 0, 0, 0, 0};
}

Bytes Ipv4Frame(const Bytes& segment, std::uint8_t firstByte = 0x45, std::uint8_t fragment = 0) {
  Bytes frame = kRouterMac;
  frame.insert(frame.end(), kGuestMac.begin(), kGuestMac.end());
  frame.insert(frame.end(), {0x08, 0x00, firstByte, 0,  0, 40, 0,  1,  fragment, 0, 64,
                             6,    0,    0,         10, 0, 2,  15, 10, 88,       0, 1});
  frame.insert(frame.end(), segment.begin(), segment.end());
  frame.resize(60, 0);  // the card's padding
  return frame;
}

Bytes Ipv6Frame(const Bytes& segment, std::uint8_t next = 6) {
  Bytes frame = kRouterMac;
  frame.insert(frame.end(), kGuestMac.begin(), kGuestMac.end());
  frame.insert(frame.end(), {0x86, 0xdd, 0x60, 0, 0, 0, 0, 20, next, 64});
  const Bytes source = {0xfe, 0xc0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x15};
  const Bytes destination = {0x20, 0x01, 0x0d, 0xb8, 0, 0x99, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  frame.insert(frame.end(), source.begin(), source.end());
  frame.insert(frame.end(), destination.begin(), destination.end());
  frame.insert(frame.end(), segment.begin(), segment.end());
  return frame;
}

TEST(NatRefusal, AConnectionToIpv4IsResetFromItsDestination) {
  Bytes reset;
  ASSERT_TRUE(TcpRefusal(Ipv4Frame(Segment(0x02)).data(), 60, &reset));
  ASSERT_EQ(reset.size(), 14u + 20u + 20u);
  EXPECT_EQ(Bytes(reset.begin(), reset.begin() + 6), kGuestMac);
  EXPECT_EQ(Bytes(reset.begin() + 6, reset.begin() + 12), kRouterMac);
  const std::uint8_t* ip = reset.data() + 14;
  EXPECT_EQ(ip[0], 0x45);
  EXPECT_EQ(ip[3], 40);
  EXPECT_EQ(Bytes(ip + 12, ip + 16), (Bytes{10, 88, 0, 1}));
  EXPECT_EQ(Bytes(ip + 16, ip + 20), (Bytes{10, 0, 2, 15}));
  EXPECT_EQ(Folded(ip, 20), 0xFFFF);  // the header's checksum holds
  const std::uint8_t* tcp = ip + 20;
  EXPECT_EQ(Bytes(tcp, tcp + 4), (Bytes{0xb7, 0xa3, 0x9c, 0x40}));
  EXPECT_EQ(Bytes(tcp + 8, tcp + 12), (Bytes{1, 2, 3, 5}));  // the SYN acknowledged
  EXPECT_EQ(tcp[13], 0x14);                                  // RST, ACK
  Bytes pseudo(ip + 12, ip + 20);
  pseudo.insert(pseudo.end(), {0, 6, 0, 20});
  EXPECT_EQ(Folded(tcp, 20, Folded(pseudo.data(), pseudo.size())), 0xFFFF);
}

TEST(NatRefusal, AConnectionToIpv6IsResetFromItsDestination) {
  Bytes reset;
  const Bytes syn = Ipv6Frame(Segment(0x02));
  ASSERT_TRUE(TcpRefusal(syn.data(), syn.size(), &reset));
  ASSERT_EQ(reset.size(), 14u + 40u + 20u);
  const std::uint8_t* ip = reset.data() + 14;
  EXPECT_EQ(ip[0] >> 4, 6);
  EXPECT_EQ(ip[5], 20);
  EXPECT_EQ(Bytes(ip + 8, ip + 24), Bytes(syn.begin() + 14 + 24, syn.begin() + 14 + 40));
  EXPECT_EQ(Bytes(ip + 24, ip + 40), Bytes(syn.begin() + 14 + 8, syn.begin() + 14 + 24));
  Bytes pseudo(ip + 8, ip + 40);
  pseudo.insert(pseudo.end(), {0, 0, 0, 20, 0, 0, 0, 6});
  EXPECT_EQ(Folded(ip + 40, 20, Folded(pseudo.data(), pseudo.size())), 0xFFFF);
}

TEST(NatRefusal, OnlyAnOpeningSegmentOfAPlainPacketIsAnswered) {
  Bytes reset;
  // A reset for a reset, or for a segment of a connection, could tear down
  // what the guest has elsewhere.
  for (const std::uint8_t flags : {0x12, 0x10, 0x04, 0x06, 0x11}) {
    EXPECT_FALSE(TcpRefusal(Ipv4Frame(Segment(flags)).data(), 60, &reset)) << int(flags);
  }
  EXPECT_FALSE(TcpRefusal(Ipv4Frame(Segment(0x02), 0x46).data(), 60, &reset));
  EXPECT_FALSE(TcpRefusal(Ipv4Frame(Segment(0x02), 0x45, 0x20).data(), 60, &reset));
  const Bytes hopByHop = Ipv6Frame(Segment(0x02), 0);
  EXPECT_FALSE(TcpRefusal(hopByHop.data(), hopByHop.size(), &reset));
  Bytes udp = Ipv4Frame(Segment(0x02));
  udp[14 + 9] = 17;
  EXPECT_FALSE(TcpRefusal(udp.data(), udp.size(), &reset));
  const Bytes cut = Ipv4Frame(Segment(0x02));
  EXPECT_FALSE(TcpRefusal(cut.data(), 14 + 20 + 19, &reset));
  EXPECT_FALSE(TcpRefusal(cut.data(), 10, &reset));
}

}  // namespace
