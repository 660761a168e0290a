// Windows: QEMU's own user networking serves NAT; no companion is joined.
#include "player/host/machine_connection.h"

bool HostRunsPasst() {
  return false;
}

MachineConnection::~MachineConnection() = default;

bool MachineConnection::Renew() {
  return false;
}

void MachineConnection::CloseCompanionEnd() {}
