// On Windows QEMU comes from the QEMU project's installer, which brings
// the UEFI firmware along.
#include "player/host/install_advice.h"

const char* QemuInstallAdvice() {
  return "QEMU f\xFCr Windows gibt es auf der Download-Seite des QEMU-Projekts: "
         "https://www.qemu.org/download/#windows";
}

const char* UefiFirmwareAdvice() {
  return "Sie geh\xF6rt zu QEMU (edk2-x86_64-code.fd im Ordner \"share\"): bitte QEMU "
         "vollst\xE4ndig installieren.";
}
