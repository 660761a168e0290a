#include "player/host/nat_refusal.h"

#include <algorithm>

#include "player/host/nat_filter.h"

namespace {

constexpr std::size_t kMacBytes = 6;
constexpr std::size_t kTcpHeaderBytes = 20;
constexpr std::uint8_t kTcp = kIpProtocolTcp;
constexpr std::uint8_t kSyn = 0x02;
constexpr std::uint8_t kRst = 0x04;
constexpr std::uint8_t kAck = 0x10;

std::uint32_t BigEndian32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
}

void Put16(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 8);
  at[1] = static_cast<std::uint8_t>(value);
}

void Put32(std::uint8_t* at, std::uint32_t value) {
  Put16(at, value >> 16);
  Put16(at + 2, value);
}

// The ones' complement sum of RFC 1071, before its final complement.
std::uint32_t Sum(const std::uint8_t* bytes, std::size_t size, std::uint32_t sum = 0) {
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  }
  if (size % 2 != 0) sum += static_cast<std::uint32_t>(bytes[size - 1] << 8);
  return sum;
}

std::uint16_t Checksum(std::uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

// The reset's TCP header in place of the guest's: ports swapped, the
// guest's SYN acknowledged.
void WriteReset(const std::uint8_t* syn, std::uint8_t* reset) {
  std::copy(syn + 2, syn + 4, reset);
  std::copy(syn, syn + 2, reset + 2);
  Put32(reset + 4, 0);
  Put32(reset + 8, BigEndian32(syn + 4) + 1);
  reset[12] = kTcpHeaderBytes / 4 << 4;
  reset[13] = kRst | kAck;
}

bool OpensConnection(const std::uint8_t* tcp) {
  return (tcp[13] & (kSyn | kAck | kRst)) == kSyn;
}

}  // namespace

bool TcpRefusal(const std::uint8_t* frame, std::size_t size, std::vector<std::uint8_t>* reset) {
  if (size < kEthernetHeaderBytes) return false;
  const std::uint8_t* packet = frame + kEthernetHeaderBytes;
  const std::size_t available = size - kEthernetHeaderBytes;
  const std::uint16_t type = static_cast<std::uint16_t>(frame[12] << 8 | frame[13]);
  const bool ipv4 = type == kEtherTypeIpv4;
  const std::size_t ipBytes = ipv4 ? kIpv4HeaderBytes : kIpv6HeaderBytes;
  if (!ipv4 && type != kEtherTypeIpv6) return false;
  if (available < ipBytes + kTcpHeaderBytes) return false;
  const unsigned fragment = static_cast<unsigned>(packet[6] << 8 | packet[7]);
  if (ipv4 && (packet[0] != 0x45 || packet[9] != kTcp || (fragment & kIpv4FragmentBits) != 0)) {
    return false;
  }
  if (!ipv4 && (packet[0] >> 4 != 6 || packet[6] != kTcp)) return false;
  const std::uint8_t* syn = packet + ipBytes;
  if (!OpensConnection(syn)) return false;

  reset->assign(kEthernetHeaderBytes + ipBytes + kTcpHeaderBytes, 0);
  std::uint8_t* out = reset->data();
  std::copy(frame + kMacBytes, frame + 2 * kMacBytes, out);
  std::copy(frame, frame + kMacBytes, out + kMacBytes);
  std::copy(frame + 12, frame + 14, out + 12);
  std::uint8_t* ip = out + kEthernetHeaderBytes;
  std::uint8_t* tcp = ip + ipBytes;
  WriteReset(syn, tcp);
  std::uint32_t pseudo = kTcp + kTcpHeaderBytes;
  if (ipv4) {
    ip[0] = 0x45;
    Put16(ip + 2, kIpv4HeaderBytes + kTcpHeaderBytes);
    ip[8] = 64;
    ip[9] = kTcp;
    std::copy(packet + 16, packet + 20, ip + 12);
    std::copy(packet + 12, packet + 16, ip + 16);
    Put16(ip + 10, Checksum(Sum(ip, kIpv4HeaderBytes)));
    pseudo = Sum(ip + 12, 8, pseudo);
  } else {
    ip[0] = 0x60;
    Put16(ip + 4, kTcpHeaderBytes);
    ip[6] = kTcp;
    ip[7] = 64;
    std::copy(packet + 24, packet + 40, ip + 8);
    std::copy(packet + 8, packet + 24, ip + 24);
    pseudo = Sum(ip + 8, 32, pseudo);
  }
  Put16(tcp + 16, Checksum(Sum(tcp, kTcpHeaderBytes, pseudo)));
  return true;
}
