// The NAT connection on Linux: socketpair(2), the machine's end moved onto
// its first number with dup3 so that a renewed pair needs no new arguments.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "player/host/machine_connection.h"

MachineConnection::~MachineConnection() {
  if (machine_ >= 0) close(machine_);
  CloseRelayEnd();
}

bool MachineConnection::Renew() {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  if (machine_ < 0) {
    machine_ = ends[0];
  } else {
    // Replaces the old end in one step: the number never names anything else.
    const bool moved = dup3(ends[0], machine_, O_CLOEXEC) == machine_;
    close(ends[0]);
    if (!moved) {
      close(ends[1]);
      return false;
    }
  }
  CloseRelayEnd();
  relay_ = ends[1];
  return true;
}

void MachineConnection::CloseRelayEnd() {
  if (relay_ >= 0) close(relay_);
  relay_ = -1;
}
