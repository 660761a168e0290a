// The current user's association of a file extension with a program, made
// only where the system knows no handler yet and undone only where the
// values are still the ones written here. Windows: the registry below
// HKEY_CURRENT_USER\Software\Classes. Other systems: not supported (the
// desktop's MIME defaults are set up by the installation there).
#pragma once

#include <string>

enum class AssociationResult {
  kDone,
  kHandlerExists,  // registering: the extension has a handler already
  kNotOurs,        // unregistering: nothing there is what we wrote
  kFailed,         // the system refused a change; nothing of ours is left
  kNotSupported,
};

// extension with its dot (".vmx"); progId e.g. "Trennwick.Player.vmx";
// command the open command, e.g. "\"C:\\x\\player.exe\" \"%1\"".
AssociationResult RegisterFileAssociation(const std::string& extension, const std::string& progId,
                                          const std::string& command);
AssociationResult UnregisterFileAssociation(const std::string& extension, const std::string& progId,
                                            const std::string& command);
