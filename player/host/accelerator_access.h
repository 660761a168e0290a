// Whether the host's hardware virtualisation can be used: KVM on Linux,
// the hypervisor platform (WHPX) on Windows. Nothing is shown to the user.
#pragma once

#include <string>

// Whether KVM can be used: /dev/kvm opens for reading and writing (Linux).
struct KvmAccess {
  bool usable = false;
  // The system's reason (its error text) when /dev/kvm is there and does
  // not open; empty when it opens or is missing.
  std::string refusal;
  bool permissionDenied = false;  // the refusal is one of rights
};
KvmAccess CheckKvm();
// Windows: the hypervisor platform (WHPX) is there and running.
bool WhpxUsable();
