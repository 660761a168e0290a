// The player's own NAT for each network card that asks for it (Linux): the
// guest reaches the outside through the host's own sockets, as behind
// VMware's NAT, and nothing on the host itself. The player runs the engine
// on its relay thread (FrameRelay), joined to QEMU by one connection per
// card. The connections are opened before the mapping, which names QEMU's
// ends; each QEMU run gets fresh ones at the same numbers and a fresh
// relay, stopped after QEMU's end.
//
// Windows has no relay: NAT is QEMU's own user networking there, and
// nothing is prepared.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "player/host/frame_relay.h"
#include "player/host/machine_connection.h"
#include "player/network.h"

class NatService {
 public:
  // For the cards of NatCards: opens each card's connection, QEMU's end
  // named in (*natConnections)[card]. Empty when ready, when no card asks
  // for NAT, or on Windows; else the display text of the refusal.
  std::string Prepare(const std::vector<int>& natCards, std::vector<int>* natConnections);
  // Gives each card a fresh connection and starts the relay. Empty when
  // done or nothing is prepared; else the display text of the failure.
  std::string Start();
  // What QEMU must inherit: its end of each connection.
  std::vector<int> Descriptors() const;
  // After QEMU's end: the relay is stopped.
  void Stop();

 private:
  std::vector<int> cards_;
  std::array<MachineConnection, kEthernetCards> connections_;
  FrameRelay relay_;
};
