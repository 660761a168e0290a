#include "player/host/nat_filter.h"

#include <algorithm>

namespace {

constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint16_t kEtherTypeArp = 0x0806;
constexpr std::uint16_t kEtherTypeIpv6 = 0x86DD;

constexpr std::size_t kIpv4HeaderBytes = 20;
constexpr std::size_t kIpv4DestinationOffset = 16;
constexpr std::size_t kIpv6HeaderBytes = 40;
constexpr std::size_t kIpv6DestinationOffset = 24;
constexpr std::uint8_t kIcmpv6 = 58;
constexpr std::uint8_t kUdp = 17;
constexpr std::size_t kUdpHeaderBytes = 8;
constexpr std::uint16_t kDhcpv6ServerPort = 547;

std::uint16_t BigEndian16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

// 0.0.0.0/8 counts: Linux connects a socket aimed at 0.0.0.0 to itself.
// So do multicast groups: the socket passt sends from loops its datagrams
// back to the host's own members (mDNS, SSDP, LLMNR).
bool Ipv4Refused(const std::uint8_t* address, const HostAddresses& host) {
  if (address[0] == 0 || address[0] == 127 || (address[0] >= 224 && address[0] <= 239)) {
    return true;
  }
  return std::any_of(host.ipv4.begin(), host.ipv4.end(), [address](const auto& own) {
    return std::equal(own.begin(), own.end(), address);
  });
}

// Multicast is what IPv6 needs of passt itself: neighbour and router
// discovery (ICMPv6) and DHCPv6, which passt answers without a socket.
bool Ipv6MulticastForPasst(const std::uint8_t* packet, std::size_t totalBytes) {
  const std::uint8_t next = packet[6];
  if (next == kIcmpv6) return true;
  return next == kUdp && totalBytes >= kIpv6HeaderBytes + kUdpHeaderBytes &&
         BigEndian16(packet + kIpv6HeaderBytes + 2) == kDhcpv6ServerPort;
}

bool Ipv6Refused(const std::uint8_t* packet, std::size_t totalBytes, const HostAddresses& host) {
  static constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  static constexpr std::uint8_t kZeros[15] = {};
  const std::uint8_t* address = packet + kIpv6DestinationOffset;
  if (address[0] == 0xff) return !Ipv6MulticastForPasst(packet, totalBytes);
  // An IPv4-mapped address reaches the IPv4 host through a dual-stack socket.
  if (std::equal(kMappedPrefix, kMappedPrefix + 12, address) && Ipv4Refused(address + 12, host)) {
    return true;
  }
  // :: (which Linux connects to itself) and ::1.
  if (std::equal(kZeros, kZeros + 15, address) && address[15] <= 1) return true;
  return std::any_of(host.ipv6.begin(), host.ipv6.end(), [address](const auto& own) {
    return std::equal(own.begin(), own.end(), address);
  });
}

std::size_t Ipv4FrameLength(const std::uint8_t* packet, std::size_t available,
                            const HostAddresses& host) {
  if (available < kIpv4HeaderBytes || packet[0] >> 4 != 4) return 0;
  const std::size_t headerBytes = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
  const std::size_t totalBytes = BigEndian16(packet + 2);
  if (headerBytes < kIpv4HeaderBytes || totalBytes < headerBytes || totalBytes > available) {
    return 0;
  }
  if (Ipv4Refused(packet + kIpv4DestinationOffset, host)) return 0;
  return kEthernetHeaderBytes + totalBytes;
}

std::size_t Ipv6FrameLength(const std::uint8_t* packet, std::size_t available,
                            const HostAddresses& host) {
  if (available < kIpv6HeaderBytes || packet[0] >> 4 != 6) return 0;
  const std::size_t totalBytes = kIpv6HeaderBytes + BigEndian16(packet + 4);
  if (totalBytes > available) return 0;
  if (Ipv6Refused(packet, totalBytes, host)) return 0;
  return kEthernetHeaderBytes + totalBytes;
}

}  // namespace

std::size_t GuestFrameLengthToPass(const std::uint8_t* frame, std::size_t size,
                                   const HostAddresses& host) {
  if (size < kEthernetHeaderBytes || size > kMaxStreamFrameBytes) return 0;
  const std::uint8_t* packet = frame + kEthernetHeaderBytes;
  const std::size_t available = size - kEthernetHeaderBytes;
  switch (BigEndian16(frame + 12)) {
    case kEtherTypeIpv4:
      return Ipv4FrameLength(packet, available, host);
    case kEtherTypeIpv6:
      return Ipv6FrameLength(packet, available, host);
    case kEtherTypeArp:
      // passt answers ARP itself and never connects anything for it.
      return size;
    default:
      return 0;
  }
}
