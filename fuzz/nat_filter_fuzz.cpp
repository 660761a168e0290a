// The input: one byte, whose low two bits count the host's IPv4 addresses
// and the next two its IPv6 addresses, those addresses, then the guest's
// frame. Checks the model: a frame passed never points at the host
// (loopback, 0.0.0.0/8, ::, ::1, IPv4-mapped forms, the host's addresses)
// or a multicast group (but IPv6's ICMPv6 and DHCPv6, which passt answers),
// is an IPv4, IPv6 or ARP frame, is never longer than the input, keeps its
// Ethernet and IP headers, and its IP length fills it exactly.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/model_check.h"
#include "player/host/nat_filter.h"

namespace {

bool SameBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
  return std::memcmp(a, b, size) == 0;
}

bool Ipv4Forbidden(const std::uint8_t* address, const HostAddresses& host) {
  if (address[0] == 0 || address[0] == 127 || (address[0] & 0xF0) == 0xE0) return true;
  for (const auto& own : host.ipv4) {
    if (SameBytes(own.data(), address, 4)) return true;
  }
  return false;
}

bool Ipv6Forbidden(const std::uint8_t* address, const HostAddresses& host) {
  static const std::uint8_t kUnspecified[16] = {};
  static const std::uint8_t kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  static const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (SameBytes(address, kUnspecified, 16) || SameBytes(address, kLoopback, 16)) return true;
  if (SameBytes(address, kMapped, 12) && Ipv4Forbidden(address + 12, host)) return true;
  for (const auto& own : host.ipv6) {
    if (SameBytes(own.data(), address, 16)) return true;
  }
  return false;
}

void CheckPassed(const std::uint8_t* frame, std::size_t size, std::size_t passed,
                 const HostAddresses& host) {
  MODEL_CHECK(passed <= size);
  MODEL_CHECK(passed >= kEthernetHeaderBytes);
  const unsigned type = frame[12] << 8 | frame[13];
  const std::uint8_t* packet = frame + kEthernetHeaderBytes;
  if (type == 0x0800) {
    MODEL_CHECK(passed >= kEthernetHeaderBytes + 20);
    MODEL_CHECK((packet[0] >> 4) == 4);
    MODEL_CHECK(kEthernetHeaderBytes + (packet[2] << 8 | packet[3]) == passed);
    MODEL_CHECK(!Ipv4Forbidden(packet + 16, host));
  } else if (type == 0x86DD) {
    MODEL_CHECK(passed >= kEthernetHeaderBytes + 40);
    MODEL_CHECK((packet[0] >> 4) == 6);
    MODEL_CHECK(kEthernetHeaderBytes + 40 + (packet[4] << 8 | packet[5]) == passed);
    MODEL_CHECK(!Ipv6Forbidden(packet + 24, host));
    if (packet[24] == 0xff) {
      MODEL_CHECK(packet[6] == 58 || (packet[6] == 17 && passed >= kEthernetHeaderBytes + 48 &&
                                      (packet[42] << 8 | packet[43]) == 547));
    }
  } else {
    MODEL_CHECK(type == 0x0806);
    MODEL_CHECK(passed == size);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t ipv4Count = data[0] & 3;
  const std::size_t ipv6Count = (data[0] >> 2) & 3;
  std::size_t at = 1;
  if (size < at + ipv4Count * 4 + ipv6Count * 16) return 0;
  HostAddresses host;
  for (std::size_t i = 0; i < ipv4Count; ++i, at += 4) {
    host.ipv4.push_back({data[at], data[at + 1], data[at + 2], data[at + 3]});
  }
  for (std::size_t i = 0; i < ipv6Count; ++i, at += 16) {
    std::array<std::uint8_t, 16> address;
    std::memcpy(address.data(), data + at, 16);
    host.ipv6.push_back(address);
  }
  const std::uint8_t* frame = data + at;
  const std::size_t frameSize = size - at;
  const std::size_t passed = GuestFrameLengthToPass(frame, frameSize, host);
  if (passed != 0) CheckPassed(frame, frameSize, passed, host);
  return 0;
}
