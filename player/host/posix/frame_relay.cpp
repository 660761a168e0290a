// The relay on Linux: one thread polls QEMU's connections, the engines'
// sockets and an eventfd by which Stop wakes it. Frames towards a guest wait
// in a queue of their own; while it is long, the engine reads nothing more
// from the host's sockets, so that TCP holds the sender back instead of the
// queue dropping frames.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/posix/system_handles.h"
#include "player/host/frame_relay.h"
#include "player/host/nat_refusal.h"
#include "player/host/posix/kernel_routes.h"
#include "player/host/posix/slirp_network.h"

namespace {

constexpr std::size_t kRecordBytes = kStreamLengthBytes + kMaxStreamFrameBytes;
// What QEMU is read in at once: several frames, at least one of the largest.
constexpr std::size_t kGuestReadBytes = 4 * kRecordBytes;
// Beyond this the engine's frames are dropped, as a full card would.
constexpr std::size_t kGuestQueueBytes = 8 * 1024 * 1024;
// Below this the engine reads the host's sockets.
constexpr std::size_t kEngineReadsBelow = 1024 * 1024;

// Bytes of the guest read and not yet handed on; room is made at the end
// by moving what is pending to the front.
class GuestBytes {
 public:
  GuestBytes() : bytes_(kGuestReadBytes) {}
  const std::uint8_t* pending() const { return bytes_.data() + begin_; }
  std::size_t pendingSize() const { return end_ - begin_; }
  void Consume(std::size_t count) {
    begin_ += count;
    if (begin_ == end_) begin_ = end_ = 0;
  }
  // False when QEMU closed its end or the connection failed.
  bool ReadFrom(int fd) {
    if (begin_ > 0) {
      std::memmove(bytes_.data(), bytes_.data() + begin_, pendingSize());
      end_ -= begin_;
      begin_ = 0;
    }
    const ssize_t got = recv(fd, bytes_.data() + end_, bytes_.size() - end_, MSG_DONTWAIT);
    if (got > 0) end_ += static_cast<std::size_t>(got);
    return got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR));
  }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

// Framed records on their way to QEMU.
class GuestQueue {
 public:
  std::size_t size() const { return bytes_.size() - sent_; }
  void Add(const std::uint8_t* frame, std::size_t size) {
    if (size > kMaxStreamFrameBytes ||
        this->size() + kStreamLengthBytes + size > kGuestQueueBytes) {
      return;
    }
    const std::uint8_t length[kStreamLengthBytes] = {0, 0, static_cast<std::uint8_t>(size >> 8),
                                                     static_cast<std::uint8_t>(size)};
    bytes_.insert(bytes_.end(), length, length + kStreamLengthBytes);
    bytes_.insert(bytes_.end(), frame, frame + size);
  }
  // False when the connection failed.
  bool WriteTo(int fd) {
    const ssize_t count = send(fd, bytes_.data() + sent_, size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (count < 0) return errno == EAGAIN || errno == EINTR;
    sent_ += static_cast<std::size_t>(count);
    if (sent_ == bytes_.size()) {
      bytes_.clear();
      sent_ = 0;
    } else if (sent_ >= kEngineReadsBelow) {
      // Moved rarely: only once a megabyte is behind.
      bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(sent_));
      sent_ = 0;
    }
    return true;
  }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t sent_ = 0;
};

std::size_t StreamLength(const std::uint8_t* bytes) {
  return static_cast<std::size_t>(bytes[0]) << 24 | static_cast<std::size_t>(bytes[1]) << 16 |
         static_cast<std::size_t>(bytes[2]) << 8 | bytes[3];
}

// One NAT card: QEMU's connection and its engine.
struct Card {
  explicit Card(int fd)
      : machine(fd),
        engine([this](const std::uint8_t* frame, std::size_t size) { toGuest.Add(frame, size); }) {}
  Descriptor machine;
  GuestBytes fromGuest;
  GuestQueue toGuest;
  // Last, so that it goes first: its last frames still find the queue.
  SlirpNetwork engine;
};

// Hands the guest's whole frames to the engine, each cut or dropped by
// the filter; a connection dropped is refused at once. False when the guest sent a length no frame
// has: the stream cannot be followed after it.
bool FeedGuestFrames(Card& card, HostRoutes& routes) {
  GuestBytes& bytes = card.fromGuest;
  std::vector<std::uint8_t> refusal;
  while (bytes.pendingSize() >= kStreamLengthBytes) {
    const std::size_t length = StreamLength(bytes.pending());
    if (length > kMaxStreamFrameBytes) return false;
    if (bytes.pendingSize() < kStreamLengthBytes + length) return true;
    const std::uint8_t* frame = bytes.pending() + kStreamLengthBytes;
    const std::size_t passed = GuestFrameLengthToPass(frame, length, routes);
    if (passed > 0) {
      card.engine.Input(frame, passed);
    } else if (TcpRefusal(frame, length, &refusal)) {
      card.toGuest.Add(refusal.data(), refusal.size());
    }
    bytes.Consume(kStreamLengthBytes + length);
  }
  return true;
}

using Cards = std::vector<std::unique_ptr<Card>>;

// Returns when QEMU or Stop ends the relay; the cards go with the thread.
void RelayFrames(const Cards& cards, int wake, KernelRoutes* routes) {
  std::vector<pollfd> watched;
  while (true) {
    watched.clear();
    watched.push_back({wake, POLLIN, 0});
    for (const auto& card : cards) {
      const short events = card->toGuest.size() > 0 ? POLLIN | POLLOUT : POLLIN;
      watched.push_back({card->machine.get(), events, 0});
    }
    int timeout = -1;
    for (const auto& card : cards) {
      const int engineTimeout =
          card->engine.Watch(watched, card->toGuest.size() < kEngineReadsBelow);
      if (engineTimeout >= 0 && (timeout < 0 || engineTimeout < timeout)) timeout = engineTimeout;
    }
    if (poll(watched.data(), watched.size(), timeout) < 0 && errno != EINTR) return;
    if (watched[0].revents & POLLIN) return;
    bool framesRead = false;
    for (std::size_t i = 0; i < cards.size(); ++i) {
      Card& card = *cards[i];
      const short revents = watched[1 + i].revents;
      // QEMU gone ends the relay: the machine has ended.
      if (revents & (POLLERR | POLLNVAL)) return;
      if ((revents & (POLLIN | POLLHUP)) && !card.fromGuest.ReadFrom(card.machine.get())) return;
      framesRead = framesRead || card.fromGuest.pendingSize() > 0;
    }
    // Taken after the frames were read: the kernel told of every change
    // made before a frame was sent by the time it arrived, so each frame is
    // decided on the host as it was then at the latest.
    if (framesRead) routes->TakeChanges();
    for (const auto& card : cards) {
      if (!FeedGuestFrames(*card, *routes)) return;
    }
    for (const auto& card : cards) card->engine.Serve(watched);
    for (const auto& card : cards) {
      if (card->toGuest.size() > 0 && !card->toGuest.WriteTo(card->machine.get())) return;
    }
  }
}

}  // namespace

bool HostRelaysNat() {
  return true;
}

FrameRelay::~FrameRelay() {
  Stop();
}

bool FrameRelay::Start(const std::vector<int>& machineSides) {
  Stop();
  // Made here, so that an engine that does not start is a failure of
  // Start; from then on only the relay's thread touches them.
  Cards cards;
  for (int side : machineSides) {
    const int machine = fcntl(side, F_DUPFD_CLOEXEC, 0);
    if (machine < 0) return false;
    cards.push_back(std::make_unique<Card>(machine));
    if (!cards.back()->engine.running()) return false;
  }
  auto routes = std::make_unique<KernelRoutes>();
  if (!routes->Open()) return false;
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
    thread_ =
        std::thread([relayed = std::move(cards), wakeFd = wake.get(), kernel = std::move(routes)] {
          RelayFrames(relayed, wakeFd, kernel.get());
        });
  } catch (const std::system_error&) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return false;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  wake_ = wake.Release();
  return true;
}

void FrameRelay::Stop() {
  if (wake_ >= 0) eventfd_write(wake_, 1);
  if (thread_.joinable()) thread_.join();
  if (wake_ >= 0) close(wake_);
  wake_ = -1;
}
