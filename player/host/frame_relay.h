// The player between a NAT card's QEMU and its passt (Linux): QEMU's
// stream connection ends at the player, which makes a second one for
// passt and moves the frames between the two on a thread of its own,
// each frame of the guest looked at by GuestFrameLengthToPass first.
// Frames towards the guest are passed as they come.
//
// Windows has no passt: Start refuses and nothing runs.
#pragma once

#include <thread>

#include "player/host/nat_filter.h"

// The addresses of the host's interfaces now; empty on Windows or when the
// system does not tell.
HostAddresses CurrentHostAddresses();

class FrameRelay {
 public:
  FrameRelay() = default;
  // Stops the relay.
  ~FrameRelay();
  FrameRelay(const FrameRelay&) = delete;
  FrameRelay& operator=(const FrameRelay&) = delete;

  // Relays between `machineSide`, the player's end of QEMU's connection
  // (a copy is taken; the caller keeps its own), and a fresh connection
  // whose other end is companionEnd(). A relay of an earlier run is
  // stopped first. False when the system refuses.
  bool Start(int machineSide, const HostAddresses& host);
  // passt's end, close-on-exec; -1 when none is open.
  int companionEnd() const { return companion_; }
  // Once the companion inherited its end, the player lets go of it, so
  // that the relay sees the companion end.
  void CloseCompanionEnd();
  // Ends the relay, if neither side did, and waits for its thread; its
  // ends of both connections are closed, so that QEMU and passt see it.
  void Stop();

 private:
  std::thread thread_;
  int companion_ = -1;
  // Written to by Stop to wake the thread; -1 when none.
  int wake_ = -1;
};
