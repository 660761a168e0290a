// On Linux both come from Debian's packages.
#include "player/host/install_advice.h"

const char* QemuInstallAdvice() {
  return "Bitte das Debian-Paket \"qemu-system-x86\" installieren.";
}

const char* UefiFirmwareAdvice() {
  return "Bitte das Paket \"ovmf\" installieren.";
}
