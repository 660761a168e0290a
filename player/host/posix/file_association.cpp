// No registry here: file associations are the desktop's MIME defaults,
// which the installation sets up.
#include <string>

#include "player/host/file_association_system.h"

namespace {

bool ReadDefault(RegistryRoot, const std::string&, std::string*) {
  return false;
}
bool KeyExists(RegistryRoot, const std::string&) {
  return false;
}
bool WriteDefault(RegistryRoot, const std::string&, const std::string&) {
  return false;
}
bool DeleteTree(RegistryRoot, const std::string&) {
  return false;
}
void NotifyChanged() {}

}  // namespace

const FileAssociationSystem kSystemFileAssociationCalls = {
    false, ReadDefault, KeyExists, WriteDefault, DeleteTree, NotifyChanged};
