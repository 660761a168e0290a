// The relay on Linux: a thread that polls both connections and an eventfd
// by which Stop wakes it. Each direction has one buffer of the largest framed
// frame, so a guest that sends faster than passt reads is held back by
// its own connection, never by the player's memory.
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "platform/posix/system_handles.h"
#include "player/host/frame_relay.h"

namespace {

constexpr std::size_t kRecordBytes = kStreamLengthBytes + kMaxStreamFrameBytes;

// Bytes read and not yet written on; room is made at the end by moving
// what is pending to the front.
class Buffer {
 public:
  Buffer() : bytes_(kRecordBytes) {}
  const std::uint8_t* pending() const { return bytes_.data() + begin_; }
  std::size_t pendingSize() const { return end_ - begin_; }
  std::size_t room() const { return bytes_.size() - pendingSize(); }
  void Consume(std::size_t count) {
    begin_ += count;
    if (begin_ == end_) begin_ = end_ = 0;
  }
  void Append(const std::uint8_t* data, std::size_t count) {
    MakeRoom();
    std::memcpy(bytes_.data() + end_, data, count);
    end_ += count;
  }
  // False when the peer closed or the connection failed.
  bool ReadFrom(int fd) {
    MakeRoom();
    const ssize_t got = recv(fd, bytes_.data() + end_, bytes_.size() - end_, MSG_DONTWAIT);
    if (got > 0) end_ += static_cast<std::size_t>(got);
    return got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR));
  }
  bool WriteTo(int fd) {
    const ssize_t sent = send(fd, pending(), pendingSize(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent > 0) Consume(static_cast<std::size_t>(sent));
    return sent > 0 || (sent < 0 && (errno == EAGAIN || errno == EINTR));
  }

 private:
  void MakeRoom() {
    if (begin_ == 0) return;
    std::memmove(bytes_.data(), bytes_.data() + begin_, pendingSize());
    end_ -= begin_;
    begin_ = 0;
  }

  std::vector<std::uint8_t> bytes_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

std::size_t StreamLength(const std::uint8_t* bytes) {
  return static_cast<std::size_t>(bytes[0]) << 24 | static_cast<std::size_t>(bytes[1]) << 16 |
         static_cast<std::size_t>(bytes[2]) << 8 | bytes[3];
}

// Moves the guest's whole frames from `fromGuest` to `toCompanion` as long
// as they fit, each cut or dropped by the filter. False when the guest
// sent a length no frame has: the stream cannot be followed after it.
bool FilterGuestFrames(Buffer& fromGuest, Buffer& toCompanion, const HostAddresses& host) {
  while (fromGuest.pendingSize() >= kStreamLengthBytes) {
    const std::size_t length = StreamLength(fromGuest.pending());
    if (length > kMaxStreamFrameBytes) return false;
    if (fromGuest.pendingSize() < kStreamLengthBytes + length) return true;
    const std::uint8_t* frame = fromGuest.pending() + kStreamLengthBytes;
    const std::size_t passed = GuestFrameLengthToPass(frame, length, host);
    if (passed > 0) {
      if (toCompanion.room() < kStreamLengthBytes + passed) return true;
      const std::uint8_t prefix[kStreamLengthBytes] = {0, 0, static_cast<std::uint8_t>(passed >> 8),
                                                       static_cast<std::uint8_t>(passed)};
      toCompanion.Append(prefix, kStreamLengthBytes);
      toCompanion.Append(frame, passed);
    }
    fromGuest.Consume(kStreamLengthBytes + length);
  }
  return true;
}

// Frames from passt on their way to QEMU. passt sends a frame's length
// and its bytes in two calls that do not wait, so a connection that fills
// up cuts a frame in two and the stream can no longer be followed: the
// relay therefore reads passt at all times and, while QEMU does not take
// frames, keeps up to kGuestQueueBytes of them and drops whole frames
// beyond that, as a full network card would.
constexpr std::size_t kGuestQueueBytes = 8 * 1024 * 1024;

class GuestQueue {
 public:
  // Takes the whole records that `incoming` holds; false when passt sent a
  // length no frame has.
  bool TakeFrom(Buffer& incoming) {
    while (incoming.pendingSize() >= kStreamLengthBytes) {
      const std::size_t record = kStreamLengthBytes + StreamLength(incoming.pending());
      if (record > kRecordBytes) return false;
      if (incoming.pendingSize() < record) return true;
      if (queued_.size() - sent_ + record <= kGuestQueueBytes) {
        queued_.append(reinterpret_cast<const char*>(incoming.pending()), record);
      }
      incoming.Consume(record);
    }
    return true;
  }
  bool Empty() const { return sent_ == queued_.size(); }
  // False when the connection failed.
  bool WriteTo(int fd) {
    const ssize_t count =
        send(fd, queued_.data() + sent_, queued_.size() - sent_, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (count < 0) return errno == EAGAIN || errno == EINTR;
    sent_ += static_cast<std::size_t>(count);
    if (sent_ == queued_.size() || sent_ > kGuestQueueBytes) {
      queued_.erase(0, sent_);
      sent_ = 0;
    }
    return true;
  }

 private:
  std::string queued_;
  std::size_t sent_ = 0;
};

void RelayFrames(int machine, int companion, int wake, const HostAddresses& host) {
  Descriptor machineOwner(machine);
  Descriptor companionOwner(companion);
  Buffer fromGuest;
  Buffer toCompanion;
  Buffer fromCompanion;
  GuestQueue toGuest;
  enum { kMachine, kCompanion, kWake };
  while (true) {
    // Frames held back while passt's buffer was full move once it has room.
    if (!FilterGuestFrames(fromGuest, toCompanion, host)) return;
    pollfd watched[3] = {{machine, 0, 0}, {companion, POLLIN, 0}, {wake, POLLIN, 0}};
    if (fromGuest.room() > 0) watched[kMachine].events |= POLLIN;
    if (!toGuest.Empty()) watched[kMachine].events |= POLLOUT;
    if (toCompanion.pendingSize() > 0) watched[kCompanion].events |= POLLOUT;
    if (poll(watched, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (watched[kWake].revents & POLLIN) return;
    // Either side gone ends the relay, once what it sent last is passed
    // on; passt and QEMU then see the relay end.
    bool open = true;
    for (const int side : {kMachine, kCompanion}) {
      const short revents = watched[side].revents;
      if (revents & (POLLERR | POLLNVAL)) return;
      if (!(revents & (POLLIN | POLLHUP))) continue;
      Buffer& into = side == kMachine ? fromGuest : fromCompanion;
      if (into.room() == 0 || !into.ReadFrom(watched[side].fd)) open = false;
    }
    if (!toGuest.TakeFrom(fromCompanion)) return;
    if (!FilterGuestFrames(fromGuest, toCompanion, host)) return;
    if (toCompanion.pendingSize() > 0 && !toCompanion.WriteTo(companion)) return;
    if (!toGuest.Empty() && !toGuest.WriteTo(machine)) return;
    if (!open) return;
  }
}

}  // namespace

HostAddresses CurrentHostAddresses() {
  HostAddresses host;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return host;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr) continue;
    if (entry->ifa_addr->sa_family == AF_INET) {
      const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
      std::array<std::uint8_t, 4> bytes;
      std::memcpy(bytes.data(), &address->sin_addr, bytes.size());
      host.ipv4.push_back(bytes);
    } else if (entry->ifa_addr->sa_family == AF_INET6) {
      const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
      std::array<std::uint8_t, 16> bytes;
      std::memcpy(bytes.data(), &address->sin6_addr, bytes.size());
      host.ipv6.push_back(bytes);
    }
  }
  freeifaddrs(list);
  return host;
}

FrameRelay::~FrameRelay() {
  Stop();
}

bool FrameRelay::Start(int machineSide, const HostAddresses& host) {
  Stop();
  Descriptor machine(fcntl(machineSide, F_DUPFD_CLOEXEC, 0));
  int ends[2];
  if (machine.get() < 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    return false;
  }
  Descriptor relayEnd(ends[0]);
  Descriptor companionEnd(ends[1]);
  // An eventfd rather than a pipe: writing to it never raises SIGPIPE,
  // whether or not the thread still runs.
  Descriptor wake(eventfd(0, EFD_CLOEXEC));
  if (wake.get() < 0) return false;
  // The thread starts with every signal blocked, so that the stop signals
  // reach the main thread, which passes them on to QEMU.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    thread_ = std::thread(RelayFrames, machine.get(), relayEnd.get(), wake.get(), host);
  } catch (const std::system_error&) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return false;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  machine.Release();
  relayEnd.Release();
  wake_ = wake.Release();
  companion_ = companionEnd.Release();
  return true;
}

void FrameRelay::CloseCompanionEnd() {
  if (companion_ >= 0) close(companion_);
  companion_ = -1;
}

void FrameRelay::Stop() {
  if (wake_ >= 0) eventfd_write(wake_, 1);
  if (thread_.joinable()) thread_.join();
  if (wake_ >= 0) close(wake_);
  wake_ = -1;
  CloseCompanionEnd();
}
