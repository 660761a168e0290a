// What a NAT card's guest may send on to passt. passt connects wherever a
// frame points, the host's loopback and its other addresses included, and
// takes the zero padding of a short Ethernet frame for payload; the player
// looks at each frame of the guest first, as VMware's NAT keeps its guests
// from the host. Frames towards the guest are passt's own and pass as
// they are.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// The host's own addresses, in network byte order, as its interfaces
// have them at the start of a run.
struct HostAddresses {
  std::vector<std::array<std::uint8_t, 4>> ipv4;
  std::vector<std::array<std::uint8_t, 16>> ipv6;
};

inline constexpr std::size_t kEthernetHeaderBytes = 14;
// The largest frame the stream connection of QEMU and passt carries: its
// length is sent in front of it as a 4-byte big-endian number.
inline constexpr std::size_t kMaxStreamFrameBytes = 65535;
inline constexpr std::size_t kStreamLengthBytes = 4;

// How many bytes of the guest's `frame` go on to passt: the Ethernet
// header and the IP packet without the padding behind it. 0 when the frame
// is dropped: a destination on the host (0.0.0.0/8, 127.0.0.0/8, ::, ::1,
// their IPv4-mapped forms, one of `host`), a multicast group (IPv4's all;
// IPv6's but for ICMPv6 and DHCPv6, which passt answers itself), a length
// that does not fit the frame, or a type other than IPv4, IPv6 and ARP (a
// VLAN tag would hide the address behind it).
std::size_t GuestFrameLengthToPass(const std::uint8_t* frame, std::size_t size,
                                   const HostAddresses& host);
