// What an image says about how it boots, read the way QEMU's firmware reads
// it: SeaBIOS and OVMF look at a CD's El Torito boot catalog only, at a
// disk's MBR and GPT. Pure logic over a read function: every read is of a
// fixed, small size at an offset taken from the image, so a hostile or
// broken image gives "unknown" (neither way), never a failure or a hang.
#pragma once

#include <string>
#include <string_view>

#include "player/read_bytes_at.h"

struct BootMedia {
  // El Torito: an entry SeaBIOS boots (the catalog's own platform x86 BIOS,
  // 0x00, and a bootable initial entry). Disk: the 0x55AA signature and
  // boot code in the MBR.
  bool biosBoot = false;
  // El Torito: a bootable entry of a UEFI (0xEF) section or catalog. Disk:
  // an EFI System Partition in a valid GPT, or an MBR partition of type 0xEF.
  bool uefiBoot = false;
  // The primary volume descriptor names Windows 10/11 or Server 2016 and
  // later x64 setup media (IsWindowsSetupMedia).
  bool windowsSetup = false;
  // From the primary volume descriptor, trailing blanks removed, bytes
  // outside printable ASCII shown as '?' (for messages).
  std::string volumeId;
  std::string publisher;
  bool Known() const { return biosBoot || uefiBoot; }
};

// An image attached as a CD (2048-byte sectors).
BootMedia ReadCdBootMedia(const ReadBytesAt& read);
// An image attached as a raw disk (512-byte sectors, as QEMU presents it).
BootMedia ReadDiskBootMedia(const ReadBytesAt& read);

// True when the publisher and volume ID of a CD match those of Microsoft's
// x64 setup media of Windows 10, Windows 11 or Windows Server 2016 and
// later, as osinfo-db recognises them.
bool IsWindowsSetupMedia(std::string_view publisher, std::string_view volumeId);
