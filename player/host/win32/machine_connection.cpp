// Windows: QEMU's own user networking serves NAT; no relay is joined.
#include "player/host/machine_connection.h"

MachineConnection::~MachineConnection() = default;

bool MachineConnection::Renew() {
  return false;
}

void MachineConnection::CloseRelayEnd() {}
