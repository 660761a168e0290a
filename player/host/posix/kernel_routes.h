// The kernel's own answer, through rtnetlink, to whether a packet to an
// address would end on the host: RTM_GETROUTE for the destination, as the
// host itself would send it now. Answers are kept until the host's
// addresses, routes, rules or links change, which a second netlink socket
// subscribed to those changes tells; TakeChanges reads it. Linux only.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <utility>

#include "player/host/nat_filter.h"

class KernelRoutes : public HostRoutes {
 public:
  KernelRoutes() = default;
  ~KernelRoutes() override;
  KernelRoutes(const KernelRoutes&) = delete;
  KernelRoutes& operator=(const KernelRoutes&) = delete;

  // False when the system refuses either socket; the object then answers
  // every address with "on the host".
  bool Open();
  // Forgets every answer when the host changed since the last call; called
  // before the frames that arrived are looked at, so that a change made
  // before a frame was sent is known when it is decided on.
  void TakeChanges();
  bool EndsOnHost(const IpAddress& address) override;

 private:
  // False when the kernel gave no answer.
  bool Ask(const IpAddress& address, bool* onHost);

  int query_ = -1;
  int changes_ = -1;
  std::uint32_t sequence_ = 0;
  std::map<std::pair<bool, std::array<std::uint8_t, 16>>, bool> answers_;
};
