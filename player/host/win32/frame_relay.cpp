// Windows: NAT is QEMU's own user network; there is nothing to relay.
#include "player/host/frame_relay.h"

bool HostRelaysNat() {
  return false;
}

FrameRelay::~FrameRelay() = default;

bool FrameRelay::Start(const std::vector<int>&) {
  return false;
}

void FrameRelay::Stop() {}
