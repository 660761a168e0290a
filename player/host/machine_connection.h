// What the player needs of the host for a NAT network card: on Linux a
// passt beside QEMU, joined to it by a connected pair of stream sockets
// that both inherit, so that no socket lies in the file system where
// another program could reach it.
//
// Windows: there is no passt; HostRunsPasst says so and NAT stays QEMU's
// own user networking.
#pragma once

// False on Windows.
bool HostRunsPasst();

// A connected pair of stream sockets, both close-on-exec: one end for the
// machine (QEMU), one for its companion (passt). Closed when the object goes.
class MachineConnection {
 public:
  MachineConnection() = default;
  ~MachineConnection();
  MachineConnection(const MachineConnection&) = delete;
  MachineConnection& operator=(const MachineConnection&) = delete;

  // Makes a fresh pair. The machine's end keeps the number it had, so that
  // arguments that name it stay right; a connection of an earlier run is
  // closed, and its companion sees its end. False when the system refuses.
  bool Renew();
  // -1 when none is open.
  int machineEnd() const { return machine_; }
  int companionEnd() const { return companion_; }
  // Once the companion inherited its end, the player lets go of it, so that
  // the machine sees the connection end with the companion.
  void CloseCompanionEnd();

 private:
  int machine_ = -1;
  int companion_ = -1;
};
