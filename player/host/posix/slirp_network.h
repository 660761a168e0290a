// libslirp, QEMU's own user-mode network, for one NAT card: the guest's
// network of nat_filter.h, IPv4 and IPv6, with DHCP and a DNS service that
// asks the resolver of the host's /etc/resolv.conf (127.0.0.53 included),
// and no way to the host's loopback. All of its calls happen on the thread
// that made it: libslirp keeps its own state unlocked.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <vector>

#include <libslirp.h>

class SlirpNetwork {
 public:
  // Receives each frame the engine sends towards the guest.
  using FrameSink = std::function<void(const std::uint8_t* frame, std::size_t size)>;

  explicit SlirpNetwork(FrameSink sink);
  ~SlirpNetwork();
  SlirpNetwork(const SlirpNetwork&) = delete;
  SlirpNetwork& operator=(const SlirpNetwork&) = delete;

  // False when libslirp refused to start.
  bool running() const { return slirp_ != nullptr; }
  // One frame of the guest, already looked at by GuestFrameLengthToPass.
  void Input(const std::uint8_t* frame, std::size_t size);
  // Appends the engine's sockets to `watched`, without reading ones while
  // `readHost` is false (the guest's queue is full); returns how long the
  // caller may sleep in poll at most, in milliseconds.
  int Watch(std::vector<pollfd>& watched, bool readHost);
  // After poll: the engine's share of `watched`, from where Watch began,
  // and its timers that are due.
  void Serve(const std::vector<pollfd>& watched);

 private:
  struct Timer {
    SlirpTimerId id;
    void* argument;
    std::int64_t dueMilliseconds;  // -1 while not set
  };
  static ssize_t SendPacket(const void* frame, std::size_t size, void* self);
  static void GuestError(const char* message, void* self);
  static std::int64_t ClockNanoseconds(void* self);
  static void* NewTimer(SlirpTimerId id, void* argument, void* self);
  static void FreeTimer(void* timer, void* self);
  static void SetTimer(void* timer, std::int64_t dueMilliseconds, void* self);
  static void RegisterPollFd(int fd, void* self);
  static void UnregisterPollFd(int fd, void* self);
  static void Notify(void* self);
  static int AddPoll(int fd, int events, void* self);
  static int PollResult(int index, void* self);
  void RunDueTimers();

  FrameSink sink_;
  SlirpCb callbacks_{};
  Slirp* slirp_ = nullptr;
  std::list<Timer> timers_;
  std::vector<Timer> due_;  // RunDueTimers' own, kept for its capacity
  std::vector<pollfd>* watched_ = nullptr;
  const std::vector<pollfd>* results_ = nullptr;
  bool readHost_ = true;
};
