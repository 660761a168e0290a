#include "player/host/posix/slirp_network.h"

#include <arpa/inet.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "player/host/nat_filter.h"

namespace {

in_addr Ipv4(const std::array<std::uint8_t, 4>& bytes) {
  in_addr address;
  std::memcpy(&address, bytes.data(), bytes.size());
  return address;
}

in6_addr Ipv6(const std::array<std::uint8_t, 16>& bytes) {
  in6_addr address;
  std::memcpy(&address, bytes.data(), bytes.size());
  return address;
}

in_addr Netmask(int bits) {
  in_addr mask;
  mask.s_addr = htonl(bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits));
  return mask;
}

short PollEvents(int slirpEvents) {
  short events = 0;
  if (slirpEvents & SLIRP_POLL_IN) events |= POLLIN;
  if (slirpEvents & SLIRP_POLL_OUT) events |= POLLOUT;
  if (slirpEvents & SLIRP_POLL_PRI) events |= POLLPRI;
  return events;
}

int SlirpEvents(short revents) {
  int events = 0;
  if (revents & POLLIN) events |= SLIRP_POLL_IN;
  if (revents & POLLOUT) events |= SLIRP_POLL_OUT;
  if (revents & POLLPRI) events |= SLIRP_POLL_PRI;
  if (revents & (POLLERR | POLLNVAL)) events |= SLIRP_POLL_ERR;
  if (revents & POLLHUP) events |= SLIRP_POLL_HUP;
  return events;
}

std::int64_t NowNanoseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

SlirpNetwork& Self(void* self) {
  return *static_cast<SlirpNetwork*>(self);
}

}  // namespace

SlirpNetwork::SlirpNetwork(FrameSink sink) : sink_(std::move(sink)) {
  SlirpConfig config{};
  config.version = 4;
  config.in_enabled = true;
  config.vnetwork = Ipv4(kNatNetwork);
  config.vnetmask = Netmask(kNatPrefixBits);
  config.vhost = Ipv4(kNatGateway);
  config.vdhcp_start = Ipv4(kNatFirstGuest);
  config.vnameserver = Ipv4(kNatDns);
  config.in6_enabled = true;
  config.vprefix_addr6 = Ipv6(kNatNetwork6);
  config.vprefix_len = kNatPrefixBits6;
  config.vhost6 = Ipv6(kNatGateway6);
  config.vnameserver6 = Ipv6(kNatDns6);
  // The router is not the host's loopback, as it is in QEMU's user network;
  // the DNS service still reaches the host's resolver.
  config.disable_host_loopback = true;
  config.enable_emu = false;
  callbacks_.send_packet = SendPacket;
  callbacks_.guest_error = GuestError;
  callbacks_.clock_get_ns = ClockNanoseconds;
  callbacks_.timer_free = FreeTimer;
  callbacks_.timer_mod = SetTimer;
  callbacks_.register_poll_fd = RegisterPollFd;
  callbacks_.unregister_poll_fd = UnregisterPollFd;
  callbacks_.notify = Notify;
  callbacks_.timer_new_opaque = NewTimer;
  slirp_ = slirp_new(&config, &callbacks_, this);
}

SlirpNetwork::~SlirpNetwork() {
  if (slirp_ != nullptr) slirp_cleanup(slirp_);
}

void SlirpNetwork::Input(const std::uint8_t* frame, std::size_t size) {
  slirp_input(slirp_, frame, static_cast<int>(size));
}

int SlirpNetwork::Watch(std::vector<pollfd>& watched, bool readHost) {
  std::uint32_t timeout = std::numeric_limits<std::uint32_t>::max();
  watched_ = &watched;
  readHost_ = readHost;
  slirp_pollfds_fill(slirp_, &timeout, AddPoll, this);
  watched_ = nullptr;
  std::int64_t sleep = timeout == std::numeric_limits<std::uint32_t>::max() ? -1 : timeout;
  const std::int64_t now = NowNanoseconds() / 1000000;
  for (const Timer& timer : timers_) {
    if (timer.dueMilliseconds < 0) continue;
    const std::int64_t until = std::max<std::int64_t>(0, timer.dueMilliseconds - now);
    if (sleep < 0 || until < sleep) sleep = until;
  }
  return static_cast<int>(std::min<std::int64_t>(sleep, std::numeric_limits<int>::max()));
}

void SlirpNetwork::Serve(const std::vector<pollfd>& watched) {
  results_ = &watched;
  slirp_pollfds_poll(slirp_, 0, PollResult, this);
  results_ = nullptr;
  RunDueTimers();
}

void SlirpNetwork::RunDueTimers() {
  const std::int64_t now = NowNanoseconds() / 1000000;
  // Collected first: a timer's work may set, make or free timers. The
  // list is kept between calls, so that the relay's turns allocate nothing.
  due_.clear();
  for (Timer& timer : timers_) {
    if (timer.dueMilliseconds < 0 || timer.dueMilliseconds > now) continue;
    timer.dueMilliseconds = -1;
    due_.push_back(timer);
  }
  for (const Timer& timer : due_) slirp_handle_timer(slirp_, timer.id, timer.argument);
}

ssize_t SlirpNetwork::SendPacket(const void* frame, std::size_t size, void* self) {
  Self(self).sink_(static_cast<const std::uint8_t*>(frame), size);
  return static_cast<ssize_t>(size);
}

// A guest's mistakes are its own; the player has nobody to tell.
void SlirpNetwork::GuestError(const char*, void*) {}

std::int64_t SlirpNetwork::ClockNanoseconds(void*) {
  return NowNanoseconds();
}

void* SlirpNetwork::NewTimer(SlirpTimerId id, void* argument, void* self) {
  SlirpNetwork& network = Self(self);
  network.timers_.push_back({id, argument, -1});
  return &network.timers_.back();
}

void SlirpNetwork::FreeTimer(void* timer, void* self) {
  Self(self).timers_.remove_if([timer](const Timer& own) { return &own == timer; });
}

void SlirpNetwork::SetTimer(void* timer, std::int64_t dueMilliseconds, void*) {
  static_cast<Timer*>(timer)->dueMilliseconds = dueMilliseconds;
}

// Every socket is watched anew before each poll; nothing to keep.
void SlirpNetwork::RegisterPollFd(int, void*) {}
void SlirpNetwork::UnregisterPollFd(int, void*) {}
// The relay's thread is the one that polls: it is awake when this is called.
void SlirpNetwork::Notify(void*) {}

int SlirpNetwork::AddPoll(int fd, int events, void* self) {
  SlirpNetwork& network = Self(self);
  short wanted = PollEvents(events);
  if (!network.readHost_) wanted = static_cast<short>(wanted & ~POLLIN);
  network.watched_->push_back({fd, wanted, 0});
  return static_cast<int>(network.watched_->size() - 1);
}

int SlirpNetwork::PollResult(int index, void* self) {
  const std::vector<pollfd>& results = *Self(self).results_;
  if (index < 0 || static_cast<std::size_t>(index) >= results.size()) return 0;
  return SlirpEvents(results[static_cast<std::size_t>(index)].revents);
}
