// What a NAT card's guest may send on to the user-mode network engine
// (libslirp), which opens the host's own sockets towards wherever a frame
// points. The player looks at each frame of the guest first, as VMware's
// NAT keeps its guests from the host: nothing aimed at the host itself
// passes, decided from the host's routes at the moment the frame is sent.
// Frames towards the guest are the engine's own and pass as they are.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kEthernetHeaderBytes = 14;
inline constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
inline constexpr std::uint16_t kEtherTypeArp = 0x0806;
inline constexpr std::uint16_t kEtherTypeIpv6 = 0x86DD;
inline constexpr std::size_t kIpv4HeaderBytes = 20;  // without options
inline constexpr std::size_t kIpv6HeaderBytes = 40;
// Both the "more fragments" flag and the offset; "don't fragment" may be set.
inline constexpr std::uint16_t kIpv4FragmentBits = 0x3FFF;
inline constexpr std::uint8_t kIpProtocolIcmp = 1;
inline constexpr std::uint8_t kIpProtocolTcp = 6;
inline constexpr std::uint8_t kIpProtocolUdp = 17;
inline constexpr std::uint8_t kIpProtocolIcmpv6 = 58;
// The largest frame the stream connection of QEMU and the player carries:
// its length is sent in front of it as a 4-byte big-endian number.
inline constexpr std::size_t kMaxStreamFrameBytes = 65535;
inline constexpr std::size_t kStreamLengthBytes = 4;

// The guest's side of the NAT, as QEMU's own user network has it: the
// network 10.0.2.0/24 (fec0::/64), whose router (.2, ::2) and DNS service
// (.3, ::3) the engine answers itself; DHCP hands out .15 and up.
inline constexpr std::array<std::uint8_t, 4> kNatNetwork = {10, 0, 2, 0};
inline constexpr int kNatPrefixBits = 24;
inline constexpr std::array<std::uint8_t, 4> kNatGateway = {10, 0, 2, 2};
inline constexpr std::array<std::uint8_t, 4> kNatDns = {10, 0, 2, 3};
inline constexpr std::array<std::uint8_t, 4> kNatFirstGuest = {10, 0, 2, 15};
inline constexpr std::array<std::uint8_t, 16> kNatNetwork6 = {0xfe, 0xc0};
inline constexpr int kNatPrefixBits6 = 64;
inline constexpr std::array<std::uint8_t, 16> kNatGateway6 = {0xfe, 0xc0, 0, 0, 0, 0, 0, 0,
                                                              0,    0,    0, 0, 0, 0, 0, 2};
inline constexpr std::array<std::uint8_t, 16> kNatDns6 = {0xfe, 0xc0, 0, 0, 0, 0, 0, 0,
                                                          0,    0,    0, 0, 0, 0, 0, 3};

// An IP address in network byte order: IPv4 in the first 4 bytes.
struct IpAddress {
  bool ipv6 = false;
  std::array<std::uint8_t, 16> bytes{};
};

// The host's own answer for a destination, asked for each one as the
// guest's frames arrive.
class HostRoutes {
 public:
  virtual ~HostRoutes() = default;
  // True when a packet the host sent to `address` now would not leave it
  // as unicast: a local, broadcast, anycast or multicast route, or none.
  virtual bool EndsOnHost(const IpAddress& address) = 0;
};

// How many bytes of the guest's `frame` go on to the engine: the Ethernet
// header and the IP packet without the padding behind it. 0 when the frame
// is dropped:
// - a type other than IPv4, IPv6 and ARP (a VLAN tag would hide the
//   address behind it), a length that does not fit the frame;
// - IPv4 options (source routing among them), fragments, IPv6 extension
//   headers, a protocol other than TCP, UDP, ICMP;
// - the engine's own addresses but for DHCP (UDP 67 at the router or the
//   broadcast address), DNS (TCP and UDP 53 at the DNS service), ICMP,
//   and for IPv6 neighbour discovery and DHCPv6 by multicast;
// - 0.0.0.0/8, 127.0.0.0/8, link-local, multicast and reserved addresses,
//   ::, ::1, IPv4-mapped and -compatible addresses, NAT64 and 6to4
//   addresses whose IPv4 address is refused, and whatever `host` says
//   ends on the host.
std::size_t GuestFrameLengthToPass(const std::uint8_t* frame, std::size_t size, HostRoutes& host);
