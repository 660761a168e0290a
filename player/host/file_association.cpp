#include "player/host/file_association.h"

#include <vector>

#include "platform/ascii_case.h"
#include "platform/path_names.h"
#include "player/host/file_association_system.h"

FileAssociationSystem fileAssociationSystem = kSystemFileAssociationCalls;

namespace {

std::string CommandKey(const std::string& progId) {
  return progId + "\\shell\\open\\command";
}

std::string IconKey(const std::string& progId) {
  return progId + "\\DefaultIcon";
}

// The shell splits an icon location at its last comma, so a comma in the
// path needs no quotes; 0 is the program's first icon.
std::string IconOfProgram(const std::string& command) {
  return CommandProgramPath(command) + ",0";
}

// The values below progId that make it a file type, each key with its
// default value.
struct ProgIdValue {
  std::string key;
  std::string value;
};
std::vector<ProgIdValue> ProgIdValues(const std::string& progId, const std::string& typeName,
                                      const std::string& command) {
  return {
      {progId, typeName}, {IconKey(progId), IconOfProgram(command)}, {CommandKey(progId), command}};
}

bool HasDefault(RegistryRoot root, const std::string& key, const std::string& expected) {
  std::string value;
  return fileAssociationSystem.readDefault(root, key, &value) && value == expected;
}

}  // namespace

std::string CommandProgramPath(const std::string& command) {
  if (!command.empty() && command.front() == '"') {
    const std::size_t close = command.find('"', 1);
    return command.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  }
  return command.substr(0, command.find(' '));
}

std::string CommandProgramName(const std::string& command) {
  const std::string program = CommandProgramPath(command);
  return std::string(LastPathName(program, '\\'));
}

AssociationResult RegisterFileAssociation(const std::string& extension, const std::string& progId,
                                          const std::string& typeName, const std::string& command) {
  const auto& system = fileAssociationSystem;
  if (!system.supported) return AssociationResult::kNotSupported;
  const std::vector<ProgIdValue> values = ProgIdValues(progId, typeName, command);
  if (HasDefault(RegistryRoot::kUserClasses, extension, progId)) {
    bool changed = false;
    for (const ProgIdValue& value : values) {
      if (HasDefault(RegistryRoot::kUserClasses, value.key, value.value)) continue;
      if (!system.writeDefault(RegistryRoot::kUserClasses, value.key, value.value)) {
        if (changed) system.notifyChanged();
        return AssociationResult::kFailed;
      }
      changed = true;
    }
    if (!changed) return AssociationResult::kAlreadyDone;
    system.notifyChanged();
    return AssociationResult::kDone;
  }
  std::string existing;
  if ((system.readDefault(RegistryRoot::kClassesRoot, extension, &existing) && !existing.empty()) ||
      system.keyExists(RegistryRoot::kUserClasses, extension)) {
    return AssociationResult::kHandlerExists;
  }
  // The program's key first, so that the extension never points at a key
  // without a command.
  const bool ours = system.keyExists(RegistryRoot::kUserClasses, progId);
  bool written = true;
  for (const ProgIdValue& value : values) {
    written = written && system.writeDefault(RegistryRoot::kUserClasses, value.key, value.value);
  }
  if (written && system.writeDefault(RegistryRoot::kUserClasses, extension, progId)) {
    system.notifyChanged();
    return AssociationResult::kDone;
  }
  system.deleteTree(RegistryRoot::kUserClasses, extension);
  if (!ours) system.deleteTree(RegistryRoot::kUserClasses, progId);
  return AssociationResult::kFailed;
}

AssociationResult UnregisterFileAssociation(const std::string& extension, const std::string& progId,
                                            const std::string& programName) {
  const auto& system = fileAssociationSystem;
  if (!system.supported) return AssociationResult::kNotSupported;
  const bool extensionOurs = HasDefault(RegistryRoot::kUserClasses, extension, progId);
  std::string command;
  const bool progIdOurs =
      system.readDefault(RegistryRoot::kUserClasses, CommandKey(progId), &command) &&
      EqualsIgnoringAsciiCase(CommandProgramName(command), programName);
  if (!extensionOurs && !progIdOurs) return AssociationResult::kNotOurs;
  bool removed = true;
  if (extensionOurs) removed = system.deleteTree(RegistryRoot::kUserClasses, extension);
  if (progIdOurs) removed = system.deleteTree(RegistryRoot::kUserClasses, progId) && removed;
  system.notifyChanged();
  return removed ? AssociationResult::kDone : AssociationResult::kFailed;
}
