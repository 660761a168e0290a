// Windows: QEMU's Windows build emulates no TPM (it has no emulator
// backend), so the player refuses a TPM before it would need a folder.
#include "player/host/tpm_state_folder.h"

bool HostEmulatesTpm() {
  return false;
}

PrivateFolder::~PrivateFolder() = default;

std::string PrivateFolder::InheritedPath(const std::string&) const {
  return {};
}

bool PrivateFolder::HoldsSocket(const std::string&) const {
  return false;
}

void PrivateFolder::RemoveLeftoverSocket(const std::string&) const {}

PrivateFolderResult OpenPrivateFolder(const std::string&, PrivateFolder*) {
  return PrivateFolderResult::kFailed;
}
