// rtnetlink on Linux: one socket for the questions, answered in turn, and
// one that only listens to the groups whose changes can move a route.
// Taking a link down drops its IPv4 routes without a message of their own,
// so links are listened to as well.
#include "player/host/posix/kernel_routes.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// More answers than a guest asks for in a while; beyond it they start over.
constexpr std::size_t kKeptAnswers = 4096;

int RouteSocket() {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return -1;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool Subscribe(int fd) {
  for (const int group :
       {RTNLGRP_LINK, RTNLGRP_IPV4_IFADDR, RTNLGRP_IPV6_IFADDR, RTNLGRP_IPV4_ROUTE,
        RTNLGRP_IPV6_ROUTE, RTNLGRP_IPV4_RULE, RTNLGRP_IPV6_RULE}) {
    if (setsockopt(fd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
      return false;
    }
  }
  return true;
}

struct RouteRequest {
  nlmsghdr header;
  rtmsg route;
  rtattr destinationHeader;
  std::uint8_t destination[16];
};

}  // namespace

KernelRoutes::~KernelRoutes() {
  if (query_ >= 0) close(query_);
  if (changes_ >= 0) close(changes_);
}

bool KernelRoutes::Open() {
  query_ = RouteSocket();
  changes_ = RouteSocket();
  return query_ >= 0 && changes_ >= 0 && Subscribe(changes_);
}

void KernelRoutes::TakeChanges() {
  char message[8192];
  while (true) {
    const ssize_t got = recv(changes_, message, sizeof message, MSG_DONTWAIT);
    if (got < 0 && errno == EINTR) continue;
    // ENOBUFS: changes were lost while the socket was full, so they count.
    if (got > 0 || (got < 0 && errno == ENOBUFS)) {
      answers_.clear();
      continue;
    }
    // A socket that cannot tell of changes keeps no answer: each frame
    // asks the kernel anew.
    if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) answers_.clear();
    return;
  }
}

bool KernelRoutes::EndsOnHost(const IpAddress& address) {
  const auto key = std::make_pair(address.ipv6, address.bytes);
  const auto known = answers_.find(key);
  if (known != answers_.end()) return known->second;
  bool onHost = true;
  // Without an answer the frame is kept: it is never worth the host.
  if (!Ask(address, &onHost)) return true;
  if (answers_.size() >= kKeptAnswers) answers_.clear();
  answers_.emplace(key, onHost);
  return onHost;
}

bool KernelRoutes::Ask(const IpAddress& address, bool* onHost) {
  if (query_ < 0 || changes_ < 0) return false;
  const std::size_t bytes = address.ipv6 ? 16 : 4;
  RouteRequest request{};
  request.header.nlmsg_len =
      static_cast<std::uint32_t>(NLMSG_LENGTH(sizeof(rtmsg)) + RTA_LENGTH(bytes));
  request.header.nlmsg_type = RTM_GETROUTE;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = ++sequence_;
  request.route.rtm_family = address.ipv6 ? AF_INET6 : AF_INET;
  request.route.rtm_dst_len = static_cast<unsigned char>(bytes * 8);
  request.destinationHeader.rta_len = static_cast<unsigned short>(RTA_LENGTH(bytes));
  request.destinationHeader.rta_type = RTA_DST;
  std::memcpy(request.destination, address.bytes.data(), bytes);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(query_, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) < 0) {
    return false;
  }
  alignas(nlmsghdr) char answer[8192];
  while (true) {
    const ssize_t got = recv(query_, answer, sizeof answer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    int left = static_cast<int>(got);
    for (const auto* message = reinterpret_cast<const nlmsghdr*>(answer); NLMSG_OK(message, left);
         message = NLMSG_NEXT(message, left)) {
      // An answer to an earlier question that was given up on.
      if (message->nlmsg_seq != sequence_) continue;
      if (message->nlmsg_type == NLMSG_ERROR) {
        // No route (unreachable, prohibited): nothing would leave the host.
        *onHost = true;
        return true;
      }
      if (message->nlmsg_type != RTM_NEWROUTE) return false;
      const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(message));
      *onHost = route->rtm_type != RTN_UNICAST;
      return true;
    }
  }
}
