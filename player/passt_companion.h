// passt beside QEMU for each network card that asks for NAT (Linux): the
// guest reaches the outside through the host's own sockets, as behind
// VMware's NAT, and passt maps no address of the guest's network onto the
// host's loopback. Each card has its own passt; between it and QEMU the
// player relays the frames (FrameRelay), keeping every frame aimed at the
// host from passt, which would connect it. The connections are opened
// before the mapping, which names QEMU's ends; each QEMU run gets fresh
// ones at the same numbers, the host's addresses of that moment, a fresh
// relay and a fresh passt, all stopped after QEMU's end.
//
// Windows has no passt: NAT is QEMU's own user networking there, and
// nothing is prepared.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "player/host/frame_relay.h"
#include "player/host/machine_connection.h"
#include "player/host/program_runner.h"
#include "player/network.h"

class PasstCompanion {
 public:
  // For the cards of NatCards: finds passt and opens each card's
  // connection, QEMU's end named in (*natConnections)[card]. Empty when
  // ready, when no card asks for NAT, or on Windows; else the display text
  // of the refusal.
  std::string Prepare(const std::vector<int>& natCards, std::vector<int>* natConnections);
  // Gives each card a fresh connection and relay and starts its passt.
  // Empty when done or nothing is prepared; else the display text of the
  // failure.
  std::string Start();
  // What QEMU must inherit: its end of each connection.
  std::vector<int> Descriptors() const;
  // After QEMU's end: every relay and passt is stopped.
  void Stop();

 private:
  std::string program_;
  std::vector<int> cards_;
  std::array<MachineConnection, kEthernetCards> connections_;
  std::array<FrameRelay, kEthernetCards> relays_;
  std::array<CompanionProgram, kEthernetCards> passt_;
};

// passt's arguments for the connection it inherits as `descriptor`: in the
// foreground (so that it stays the player's child), no gateway mapped to
// the host, no port of the host forwarded to the guest, and ending when
// QEMU's end of the connection closes.
std::vector<std::string> PasstArguments(int descriptor);
