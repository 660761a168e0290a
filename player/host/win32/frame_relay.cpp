// Windows: there is no passt to relay to.
#include "player/host/frame_relay.h"

HostAddresses CurrentHostAddresses() {
  return {};
}

FrameRelay::~FrameRelay() = default;

bool FrameRelay::Start(int, const HostAddresses&) {
  return false;
}

void FrameRelay::CloseCompanionEnd() {}

void FrameRelay::Stop() {}
