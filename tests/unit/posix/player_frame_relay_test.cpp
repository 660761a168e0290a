#include "player/host/frame_relay.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::array<std::uint8_t, 4> kOutside = {10, 77, 0, 1};
const std::array<std::uint8_t, 4> kHost = {10, 77, 0, 2};
const std::array<std::uint8_t, 4> kLoopback = {127, 0, 0, 1};

// A TCP ACK from the guest, padded to 60 bytes by the card; `mark` tells
// frames apart.
Bytes PaddedAck(const std::array<std::uint8_t, 4>& destination, std::uint8_t mark = 0) {
  Bytes frame = {0x52, 0x54, 0,  0, 0, 1,    0x52, 0x54, 0, 0x12, 0x34, 0x56, 0x08, 0x00, 0x45,
                 0,    0,    40, 0, 1, 0x40, 0,    64,   6, 0,    0,    10,   77,   0,    2};
  frame.insert(frame.end(), destination.begin(), destination.end());
  frame.resize(14 + 40, mark);
  frame.resize(60, 0);
  return frame;
}

Bytes Framed(const Bytes& frame) {
  Bytes framed = {0, 0, static_cast<std::uint8_t>(frame.size() >> 8),
                  static_cast<std::uint8_t>(frame.size())};
  framed.insert(framed.end(), frame.begin(), frame.end());
  return framed;
}

void SendAll(int fd, const Bytes& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t now = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (now <= 0) return;
    sent += static_cast<std::size_t>(now);
  }
}

// Reads `count` bytes within `milliseconds`; fewer when the peer closed
// or the time ran out.
Bytes Receive(int fd, std::size_t count, int milliseconds = 3000) {
  Bytes got;
  std::uint8_t buffer[4096];
  while (got.size() < count) {
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, milliseconds) != 1) break;
    const ssize_t now = read(fd, buffer, std::min(sizeof buffer, count - got.size()));
    if (now <= 0) break;
    got.insert(got.end(), buffer, buffer + now);
  }
  return got;
}

bool SeesEnd(int fd) {
  pollfd waiting{fd, POLLIN, 0};
  std::uint8_t byte;
  return poll(&waiting, 1, 3000) == 1 && read(fd, &byte, 1) == 0;
}

// QEMU's side and passt's side of a running relay, as the player joins them.
class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    qemu_ = ends[0];
    host_.ipv4.push_back(kHost);
    ASSERT_TRUE(relay_.Start(ends[1], host_));
    close(ends[1]);
    passt_ = dup(relay_.companionEnd());
    relay_.CloseCompanionEnd();
  }
  void TearDown() override {
    relay_.Stop();
    if (qemu_ >= 0) close(qemu_);
    if (passt_ >= 0) close(passt_);
  }

  HostAddresses host_;
  FrameRelay relay_;
  int qemu_ = -1;
  int passt_ = -1;
};

TEST_F(RelayTest, PassesTheGuestsFramesCutAndDropsThoseForTheHost) {
  const Bytes outside = PaddedAck(kOutside);
  Bytes stream = Framed(PaddedAck(kLoopback));
  const Bytes toHost = Framed(PaddedAck(kHost));
  stream.insert(stream.end(), toHost.begin(), toHost.end());
  const Bytes passed = Framed(outside);
  stream.insert(stream.end(), passed.begin(), passed.end());
  // QEMU may write a frame in pieces; the length itself too.
  for (std::size_t at = 0; at < stream.size(); at += 3) {
    SendAll(qemu_, Bytes(stream.begin() + at, stream.begin() + std::min(at + 3, stream.size())));
  }
  Bytes expected = Framed(Bytes(outside.begin(), outside.begin() + 54));
  EXPECT_EQ(Receive(passt_, expected.size()), expected);
  EXPECT_TRUE(Receive(passt_, 1, 200).empty());
  // passt's frames reach the guest as they are.
  const Bytes answer = Framed(PaddedAck(kOutside, 9));
  SendAll(passt_, answer);
  EXPECT_EQ(Receive(qemu_, answer.size()), answer);
}

TEST_F(RelayTest, AGuestFasterThanPasstIsHeldBackAndLosesNothing) {
  constexpr int kFrames = 400;
  Bytes frame = PaddedAck(kOutside);
  frame.resize(1514, 0x22);
  frame[16] = (1500 >> 8);
  frame[17] = 1500 & 0xFF;
  std::thread guest([&] {
    for (int i = 0; i < kFrames; ++i) {
      Bytes numbered = frame;
      numbered[60] = static_cast<std::uint8_t>(i);
      SendAll(qemu_, Framed(numbered));
    }
  });
  // passt reads only after the guest has filled every buffer on the way.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int seen = 0;
  for (; seen < kFrames; ++seen) {
    const Bytes got = Receive(passt_, 4 + frame.size());
    if (got.size() != 4 + frame.size() || got[4 + 60] != static_cast<std::uint8_t>(seen)) break;
  }
  guest.join();
  EXPECT_EQ(seen, kFrames);
}

TEST_F(RelayTest, EndsWithQemu) {
  close(qemu_);
  qemu_ = -1;
  EXPECT_TRUE(SeesEnd(passt_));
}

TEST_F(RelayTest, EndsWithPasstAfterPassingOnItsLastFrame) {
  const Bytes last = Framed(PaddedAck(kOutside, 3));
  SendAll(passt_, last);
  close(passt_);
  passt_ = -1;
  EXPECT_EQ(Receive(qemu_, last.size()), last);
  EXPECT_TRUE(SeesEnd(qemu_));
}

TEST_F(RelayTest, StopEndsBothSidesAndALengthNoFrameHasEndsTheRelay) {
  relay_.Stop();
  EXPECT_TRUE(SeesEnd(qemu_));
  EXPECT_TRUE(SeesEnd(passt_));
  close(qemu_);
  close(passt_);
  SetUp();
  SendAll(qemu_, {0, 1, 0, 0});  // 65536
  EXPECT_TRUE(SeesEnd(passt_));
  EXPECT_TRUE(SeesEnd(qemu_));
}

}  // namespace
