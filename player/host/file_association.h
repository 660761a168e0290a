// The current user's association of a file extension with a program, made
// only where the system knows no handler yet and undone only where the
// values are still the ones written here. Windows: the registry below
// HKEY_CURRENT_USER\Software\Classes. Other systems: not supported (the
// desktop's MIME defaults are set up by the installation there).
#pragma once

#include <string>

enum class AssociationResult {
  kDone,
  kAlreadyDone,    // registering: the association is this command's already
  kHandlerExists,  // registering: the extension has a handler already
  kNotOurs,        // unregistering: nothing there is what we wrote
  kFailed,         // the system refused a change; nothing of ours is left
  kNotSupported,
};

// extension with its dot (".vmx"); progId e.g. "Trennwick.Player.vmx";
// typeName what the shell calls such files ("VMware-Konfiguration");
// command the open command, e.g. "\"C:\\x\\player.exe\" \"%1\"". The
// files show the icon of the program that the command starts. An extension
// that names progId already is ours: its values are brought up to date (the
// program may have moved).
AssociationResult RegisterFileAssociation(const std::string& extension, const std::string& progId,
                                          const std::string& typeName, const std::string& command);
// The progId counts as ours when its open command starts the program named
// programName (e.g. "trennwick-player.exe", any case), wherever it lies.
AssociationResult UnregisterFileAssociation(const std::string& extension, const std::string& progId,
                                            const std::string& programName);

// The program an open command starts: its first word, or what its first
// pair of quotes holds; its name is what follows the last "\" or "/".
std::string CommandProgramPath(const std::string& command);
std::string CommandProgramName(const std::string& command);
