// What the player sees of the host before it plans a machine, as its
// services report it; the machine facts work the host's facts out of it.
#pragma once

#include <string>
#include <vector>

#include "player/host/accelerator_access.h"

struct HostLook {
  KvmAccess kvm;
  bool whpx = false;
  std::string acceleratorOverride;                  // TRENNWICK_PLAYER_ACCEL; empty when unset
  std::string ownDirectory;                         // the player's folder, with its separator
  std::string qemu;                                 // QEMU's path; empty when it was not found
  std::vector<std::string> qemuInstallDirectories;  // where QEMU was looked for besides PATH
  std::string qemuAdvice;     // own text: where QEMU comes from on this system
  std::string uefiAdvice;     // own text: where the UEFI firmware comes from
  std::string swtpm;          // swtpm's path; empty when it was not found
  bool tpmEmulation = false;  // QEMU on this system can use swtpm
  std::string audioBackend;
  long long memoryMegabytes = 0;
  long long processors = 0;
  std::string titleDash;
  char separator = '/';
  std::string temporaryRoot;
  std::vector<std::string> temporaryFolders;  // resolved, with their separator
  std::vector<std::string> userFolders;
  bool launcherIsParent = false;  // the Trennwick launcher beside us started the player
};
