// The system side of the file association: the registry calls it makes,
// through one table that a test may point at stand-ins; restore it from
// kSystemFileAssociationCalls afterwards. Keys are paths below their root
// with "\" between the parts.
#pragma once

#include <string>

enum class RegistryRoot {
  kClassesRoot,  // the merged view the shell uses (HKEY_CLASSES_ROOT)
  kUserClasses,  // HKEY_CURRENT_USER\Software\Classes
};

struct FileAssociationSystem {
  bool supported;
  // The key's default value; false when the key or its default value is
  // missing.
  bool (*readDefault)(RegistryRoot root, const std::string& key, std::string* value);
  bool (*keyExists)(RegistryRoot root, const std::string& key);
  // Creates the key when needed and sets its default value.
  bool (*writeDefault)(RegistryRoot root, const std::string& key, const std::string& value);
  // Removes the key and everything below it; true when it is gone.
  bool (*deleteTree)(RegistryRoot root, const std::string& key);
  // Tells the shell that associations changed.
  void (*notifyChanged)();
};

extern FileAssociationSystem fileAssociationSystem;
extern const FileAssociationSystem kSystemFileAssociationCalls;
