#include "player/host/nat_filter.h"

#include <algorithm>

namespace {

constexpr std::size_t kIpv4DestinationOffset = 16;
constexpr std::size_t kIpv6DestinationOffset = 24;
constexpr std::uint8_t kIcmp = kIpProtocolIcmp;
constexpr std::uint8_t kTcp = kIpProtocolTcp;
constexpr std::uint8_t kUdp = kIpProtocolUdp;
constexpr std::uint8_t kIcmpv6 = kIpProtocolIcmpv6;

constexpr std::uint16_t kDnsPort = 53;
constexpr std::uint16_t kDhcpServerPort = 67;
constexpr std::uint16_t kDhcpv6ServerPort = 547;

std::uint16_t BigEndian16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

bool StartsWith(const std::uint8_t* address, const std::array<std::uint8_t, 16>& prefix, int bits) {
  const int whole = bits / 8;
  if (!std::equal(prefix.begin(), prefix.begin() + whole, address)) return false;
  const int rest = bits % 8;
  if (rest == 0) return true;
  const std::uint8_t mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
  return (address[whole] & mask) == (prefix[whole] & mask);
}

bool Same(const std::uint8_t* address, const std::array<std::uint8_t, 4>& other) {
  return std::equal(other.begin(), other.end(), address);
}

bool Same(const std::uint8_t* address, const std::array<std::uint8_t, 16>& other) {
  return std::equal(other.begin(), other.end(), address);
}

IpAddress Ipv4Address(const std::uint8_t* bytes) {
  IpAddress address;
  std::copy(bytes, bytes + 4, address.bytes.begin());
  return address;
}

IpAddress Ipv6Address(const std::uint8_t* bytes) {
  IpAddress address;
  address.ipv6 = true;
  std::copy(bytes, bytes + 16, address.bytes.begin());
  return address;
}

// What the transport header says: the protocol and, for TCP and UDP, the
// destination port.
struct Transport {
  std::uint8_t protocol = 0;
  std::uint16_t port = 0;
};

// The engine's own addresses answer only what the engine serves itself;
// anything else it would send to the host's loopback or refuse.
// DHCP only for IPv4: DHCPv6 is asked by multicast.
bool EngineServes(bool router, bool dns, const Transport& transport, std::uint8_t icmp) {
  if (transport.protocol == icmp) return router || dns;
  if (icmp == kIcmp && transport.protocol == kUdp && transport.port == kDhcpServerPort) {
    return router;
  }
  return dns && transport.port == kDnsPort;
}

// Never anywhere but on the host or no host at all: 0.0.0.0/8 (Linux
// connects a socket aimed at 0.0.0.0 to itself), loopback, link-local,
// multicast (the socket loops it back to the host's own members),
// reserved and broadcast.
bool Ipv4Refused(const std::uint8_t* address) {
  return address[0] == 0 || address[0] == 127 || (address[0] == 169 && address[1] == 254) ||
         address[0] >= 224;
}

bool Ipv4OnHost(const std::uint8_t* address, HostRoutes& host) {
  return Ipv4Refused(address) || host.EndsOnHost(Ipv4Address(address));
}

bool Ipv4DestinationPasses(const std::uint8_t* address, const Transport& transport,
                           HostRoutes& host) {
  if (std::equal(kNatNetwork.begin(), kNatNetwork.begin() + kNatPrefixBits / 8, address)) {
    return EngineServes(Same(address, kNatGateway), Same(address, kNatDns), transport, kIcmp);
  }
  static constexpr std::array<std::uint8_t, 4> kBroadcast = {255, 255, 255, 255};
  if (Same(address, kBroadcast)) {
    return transport.protocol == kUdp && transport.port == kDhcpServerPort;
  }
  return !Ipv4OnHost(address, host);
}

// An address that carries an IPv4 address in its bytes from `at` reaches
// that address wherever the host translates it (NAT64, 6to4).
bool EmbeddedIpv4OnHost(const std::uint8_t* address, const std::array<std::uint8_t, 16>& prefix,
                        int bits, std::size_t at, HostRoutes& host) {
  return StartsWith(address, prefix, bits) && Ipv4OnHost(address + at, host);
}

bool Ipv6DestinationPasses(const std::uint8_t* address, const Transport& transport,
                           HostRoutes& host) {
  static constexpr std::array<std::uint8_t, 16> kLinkLocal = {0xfe, 0x80};
  static constexpr std::array<std::uint8_t, 16> kSiteLocal = {0xfe, 0xc0};
  static constexpr std::array<std::uint8_t, 16> kMapped = {0, 0, 0, 0, 0,    0,
                                                           0, 0, 0, 0, 0xff, 0xff};
  static constexpr std::array<std::uint8_t, 16> kNat64 = {0, 0x64, 0xff, 0x9b};
  static constexpr std::array<std::uint8_t, 16> k6to4 = {0x20, 0x02};
  static constexpr std::array<std::uint8_t, 16> kZeros = {};
  const bool multicast = address[0] == 0xff;
  const bool linkLocal = StartsWith(address, kLinkLocal, 10);
  const bool engine = StartsWith(address, kNatNetwork6, kNatPrefixBits6);
  // Neighbour and router discovery: the engine answers it and sends
  // nothing of it on.
  if (transport.protocol == kIcmpv6 && (multicast || linkLocal)) return true;
  if (multicast) return transport.protocol == kUdp && transport.port == kDhcpv6ServerPort;
  if (engine) {
    return EngineServes(Same(address, kNatGateway6), Same(address, kNatDns6), transport, kIcmpv6);
  }
  // ::, ::1 and the IPv4-compatible ::/96; the IPv4-mapped ::ffff:0:0/96,
  // which a dual-stack socket sends to IPv4; deprecated site-local.
  if (linkLocal || StartsWith(address, kZeros, 96) || StartsWith(address, kMapped, 96) ||
      StartsWith(address, kSiteLocal, 10)) {
    return false;
  }
  if (EmbeddedIpv4OnHost(address, kNat64, 96, 12, host) ||
      EmbeddedIpv4OnHost(address, k6to4, 16, 2, host)) {
    return false;
  }
  return !host.EndsOnHost(Ipv6Address(address));
}

// The protocol and port of a packet whose transport header begins at
// `transport`, `bytes` long; false when it cannot be told.
bool ReadTransport(std::uint8_t protocol, std::uint8_t icmp, const std::uint8_t* transport,
                   std::size_t bytes, Transport* read) {
  read->protocol = protocol;
  if (protocol == icmp) return true;
  if (protocol != kTcp && protocol != kUdp) return false;
  if (bytes < 4) return false;
  read->port = BigEndian16(transport + 2);
  return true;
}

std::size_t Ipv4FrameLength(const std::uint8_t* packet, std::size_t available, HostRoutes& host) {
  if (available < kIpv4HeaderBytes || packet[0] != 0x45) return 0;  // version 4, no options
  const std::size_t totalBytes = BigEndian16(packet + 2);
  if (totalBytes < kIpv4HeaderBytes || totalBytes > available) return 0;
  if ((BigEndian16(packet + 6) & kIpv4FragmentBits) != 0) return 0;
  Transport transport;
  if (!ReadTransport(packet[9], kIcmp, packet + kIpv4HeaderBytes, totalBytes - kIpv4HeaderBytes,
                     &transport) ||
      !Ipv4DestinationPasses(packet + kIpv4DestinationOffset, transport, host)) {
    return 0;
  }
  return kEthernetHeaderBytes + totalBytes;
}

std::size_t Ipv6FrameLength(const std::uint8_t* packet, std::size_t available, HostRoutes& host) {
  if (available < kIpv6HeaderBytes || packet[0] >> 4 != 6) return 0;
  const std::size_t totalBytes = kIpv6HeaderBytes + BigEndian16(packet + 4);
  if (totalBytes > available) return 0;
  // Any extension header, the fragment header among them, is refused.
  Transport transport;
  if (!ReadTransport(packet[6], kIcmpv6, packet + kIpv6HeaderBytes, totalBytes - kIpv6HeaderBytes,
                     &transport) ||
      !Ipv6DestinationPasses(packet + kIpv6DestinationOffset, transport, host)) {
    return 0;
  }
  return kEthernetHeaderBytes + totalBytes;
}

}  // namespace

std::size_t GuestFrameLengthToPass(const std::uint8_t* frame, std::size_t size, HostRoutes& host) {
  if (size < kEthernetHeaderBytes || size > kMaxStreamFrameBytes) return 0;
  const std::uint8_t* packet = frame + kEthernetHeaderBytes;
  const std::size_t available = size - kEthernetHeaderBytes;
  switch (BigEndian16(frame + 12)) {
    case kEtherTypeIpv4:
      return Ipv4FrameLength(packet, available, host);
    case kEtherTypeIpv6:
      return Ipv6FrameLength(packet, available, host);
    case kEtherTypeArp:
      // The engine answers ARP for its own addresses and connects nothing.
      return size;
    default:
      return 0;
  }
}
