// What the player needs of the host for a NAT network card (Linux): a
// connected pair of stream sockets, one end inherited by QEMU and one for
// the player's relay, so that no socket lies in the file system where
// another program could reach it.
#pragma once

// A connected pair of stream sockets, both close-on-exec: one end for the
// machine (QEMU), one for the relay. Closed when the object goes.
class MachineConnection {
 public:
  MachineConnection() = default;
  ~MachineConnection();
  MachineConnection(const MachineConnection&) = delete;
  MachineConnection& operator=(const MachineConnection&) = delete;

  // Makes a fresh pair. The machine's end keeps the number it had, so that
  // arguments that name it stay right; a connection of an earlier run is
  // closed, and its relay sees its end. False when the system refuses.
  bool Renew();
  // -1 when none is open.
  int machineEnd() const { return machine_; }
  int relayEnd() const { return relay_; }
  // Once the relay holds a copy of its end, the player lets go of it, so
  // that the machine sees the connection end with the relay.
  void CloseRelayEnd();

 private:
  int machine_ = -1;
  int relay_ = -1;
};
