#include "platform/file_association.h"

#include "platform/file_association_system.h"

FileAssociationSystem fileAssociationSystem = kSystemFileAssociationCalls;

namespace {

std::string CommandKey(const std::string& progId) {
  return progId + "\\shell\\open\\command";
}

bool HasDefault(RegistryRoot root, const std::string& key, const std::string& expected) {
  std::string value;
  return fileAssociationSystem.readDefault(root, key, &value) && value == expected;
}

}  // namespace

AssociationResult RegisterFileAssociation(const std::string& extension, const std::string& progId,
                                          const std::string& command) {
  const auto& system = fileAssociationSystem;
  if (!system.supported) return AssociationResult::kNotSupported;
  std::string existing;
  if ((system.readDefault(RegistryRoot::kClassesRoot, extension, &existing) && !existing.empty()) ||
      system.keyExists(RegistryRoot::kUserClasses, extension)) {
    return AssociationResult::kHandlerExists;
  }
  // The program's key first, so that the extension never points at a key
  // without a command.
  const bool ours = system.keyExists(RegistryRoot::kUserClasses, progId);
  if (system.writeDefault(RegistryRoot::kUserClasses, CommandKey(progId), command) &&
      system.writeDefault(RegistryRoot::kUserClasses, extension, progId)) {
    system.notifyChanged();
    return AssociationResult::kDone;
  }
  system.deleteTree(RegistryRoot::kUserClasses, extension);
  if (!ours) system.deleteTree(RegistryRoot::kUserClasses, progId);
  return AssociationResult::kFailed;
}

AssociationResult UnregisterFileAssociation(const std::string& extension, const std::string& progId,
                                            const std::string& command) {
  const auto& system = fileAssociationSystem;
  if (!system.supported) return AssociationResult::kNotSupported;
  const bool extensionOurs = HasDefault(RegistryRoot::kUserClasses, extension, progId);
  const bool progIdOurs = HasDefault(RegistryRoot::kUserClasses, CommandKey(progId), command);
  if (!extensionOurs && !progIdOurs) return AssociationResult::kNotOurs;
  bool removed = true;
  if (extensionOurs) removed = system.deleteTree(RegistryRoot::kUserClasses, extension);
  if (progIdOurs) removed = system.deleteTree(RegistryRoot::kUserClasses, progId) && removed;
  system.notifyChanged();
  return removed ? AssociationResult::kDone : AssociationResult::kFailed;
}
