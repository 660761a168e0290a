// The player's NAT (Linux): each NAT card's QEMU stream connection ends at
// the player, whose relay thread runs a user-mode network engine (libslirp)
// for it. Each frame of the guest is looked at by GuestFrameLengthToPass,
// against the host's routes of that moment, before the engine sees it;
// the engine's frames reach the guest as they come.
//
// Windows has no relay: Start refuses and nothing runs.
#pragma once

#include <thread>
#include <vector>

// True where the player runs the NAT itself (Linux).
bool HostRelaysNat();

class FrameRelay {
 public:
  FrameRelay() = default;
  // Stops the relay.
  ~FrameRelay();
  FrameRelay(const FrameRelay&) = delete;
  FrameRelay& operator=(const FrameRelay&) = delete;

  // Runs one engine for each of `machineSides`, the player's ends of QEMU's
  // connections (copies are taken; the caller keeps its own), on one
  // thread. A relay of an earlier run is stopped first. False when the
  // system refuses.
  bool Start(const std::vector<int>& machineSides);
  // Ends the relay, if QEMU did not, and waits for its thread; its ends of
  // the connections are closed, so that QEMU sees it.
  void Stop();

 private:
  std::thread thread_;
  // Written to by Stop to wake the thread; -1 when none.
  int wake_ = -1;
};
