// The input: one byte, whose low two bits count the addresses the host
// names its own and whose next bit says whether IPv4 (0) or IPv6 (1) ones,
// those addresses (4 or 16 bytes each), then the guest's frame. Checks the
// model: a frame passed never points at an address the host calls its own
// (unless the engine's own address serves it), nor at loopback, 0.0.0.0/8,
// link-local, multicast or reserved IPv4 addresses, ::, ::1, IPv4-mapped or
// -compatible addresses, link- or site-local IPv6 addresses (but for
// neighbour discovery); IPv4 has no options and no fragment, IPv6 no
// extension header; the engine's own addresses get only DHCP, DNS and ICMP;
// the frame is IPv4, IPv6 or ARP, never longer than the input, keeps its
// headers, and its IP length fills it exactly.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/model_check.h"
#include "player/host/nat_filter.h"

namespace {

class FuzzedHost : public HostRoutes {
 public:
  bool EndsOnHost(const IpAddress& address) override {
    return std::any_of(own.begin(), own.end(), [&address](const IpAddress& mine) {
      return mine.ipv6 == address.ipv6 && mine.bytes == address.bytes;
    });
  }
  std::vector<IpAddress> own;
};

bool StartsWith(const std::uint8_t* address, std::initializer_list<std::uint8_t> prefix) {
  return std::equal(prefix.begin(), prefix.end(), address);
}

std::uint16_t Port(const std::uint8_t* transport) {
  return static_cast<std::uint16_t>(transport[2] << 8 | transport[3]);
}

void CheckIpv4(const std::uint8_t* packet, std::size_t passed, FuzzedHost& host) {
  MODEL_CHECK(passed >= kEthernetHeaderBytes + 20);
  MODEL_CHECK(packet[0] == 0x45);
  MODEL_CHECK(kEthernetHeaderBytes + (packet[2] << 8 | packet[3]) == passed);
  MODEL_CHECK((packet[6] & 0x3F) == 0 && packet[7] == 0);
  const std::uint8_t protocol = packet[9];
  MODEL_CHECK(protocol == 1 || protocol == 6 || protocol == 17);
  const std::uint8_t* address = packet + 16;
  if (StartsWith(address, {10, 0, 2})) {
    MODEL_CHECK(address[3] == 2 || address[3] == 3);
    if (protocol != 1) {
      const std::uint16_t port = Port(packet + 20);
      MODEL_CHECK((address[3] == 3 && port == 53) ||
                  (address[3] == 2 && protocol == 17 && port == 67));
    }
    return;
  }
  if (StartsWith(address, {255, 255, 255, 255})) {
    MODEL_CHECK(protocol == 17 && Port(packet + 20) == 67);
    return;
  }
  MODEL_CHECK(address[0] != 0 && address[0] != 127 && address[0] < 224);
  MODEL_CHECK(!StartsWith(address, {169, 254}));
  IpAddress destination;
  std::memcpy(destination.bytes.data(), address, 4);
  MODEL_CHECK(!host.EndsOnHost(destination));
}

void CheckIpv6(const std::uint8_t* packet, std::size_t passed, FuzzedHost& host) {
  MODEL_CHECK(passed >= kEthernetHeaderBytes + 40);
  MODEL_CHECK((packet[0] >> 4) == 6);
  MODEL_CHECK(kEthernetHeaderBytes + 40 + (packet[4] << 8 | packet[5]) == passed);
  const std::uint8_t next = packet[6];
  MODEL_CHECK(next == 6 || next == 17 || next == 58);
  const std::uint8_t* address = packet + 24;
  const bool linkLocal = address[0] == 0xfe && (address[1] & 0xc0) == 0x80;
  if (next == 58 && (address[0] == 0xff || linkLocal)) return;
  MODEL_CHECK(!linkLocal);
  if (address[0] == 0xff) {
    MODEL_CHECK(next == 17 && Port(packet + 40) == 547);
    return;
  }
  static const std::uint8_t kEngine[8] = {0xfe, 0xc0};
  if (std::memcmp(address, kEngine, 8) == 0) {
    static const std::uint8_t kInterface[7] = {};
    MODEL_CHECK(std::memcmp(address + 8, kInterface, 7) == 0);
    MODEL_CHECK(address[15] == 2 || address[15] == 3);
    if (next != 58) MODEL_CHECK(address[15] == 3 && Port(packet + 40) == 53);
    return;
  }
  static const std::uint8_t kZeros[12] = {};
  static const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  MODEL_CHECK(std::memcmp(address, kZeros, 12) != 0 && std::memcmp(address, kMapped, 12) != 0);
  MODEL_CHECK(!(address[0] == 0xfe && (address[1] & 0xc0) == 0xc0));
  IpAddress destination;
  destination.ipv6 = true;
  std::memcpy(destination.bytes.data(), address, 16);
  MODEL_CHECK(!host.EndsOnHost(destination));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t count = data[0] & 3;
  const bool ipv6 = (data[0] & 4) != 0;
  const std::size_t bytes = ipv6 ? 16 : 4;
  std::size_t at = 1;
  if (size < at + count * bytes) return 0;
  FuzzedHost host;
  for (std::size_t i = 0; i < count; ++i, at += bytes) {
    IpAddress address;
    address.ipv6 = ipv6;
    std::memcpy(address.bytes.data(), data + at, bytes);
    host.own.push_back(address);
  }
  const std::uint8_t* frame = data + at;
  const std::size_t frameSize = size - at;
  const std::size_t passed = GuestFrameLengthToPass(frame, frameSize, host);
  if (passed == 0) return 0;
  MODEL_CHECK(passed <= frameSize);
  const unsigned type = frame[12] << 8 | frame[13];
  if (type == 0x0800) {
    CheckIpv4(frame + kEthernetHeaderBytes, passed, host);
  } else if (type == 0x86DD) {
    CheckIpv6(frame + kEthernetHeaderBytes, passed, host);
  } else {
    MODEL_CHECK(type == 0x0806);
    MODEL_CHECK(passed == frameSize);
  }
  return 0;
}
