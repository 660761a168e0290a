// What the player needs of the host for a TPM: the machine's private state
// folder, held open from its check on, so that swtpm and QEMU get the very
// folder that was checked (inherited as a descriptor, reached through
// /proc/self/fd). That also keeps the socket's path short: a deep .vmx
// folder would not fit into a socket address (108 bytes).
//
// Windows: QEMU for Windows has no TPM emulator backend; HostEmulatesTpm
// says so and the player refuses the TPM before it asks for a folder.
#pragma once

#include <string>

// False on Windows.
bool HostEmulatesTpm();

enum class PrivateFolderResult {
  kMade,     // created new, mode 0700
  kKept,     // there already: a directory of ours, no link, nobody else may write in it
  kRefused,  // a link, no directory, another user's or writable by others, or an entry
             // in it that is not a regular file of ours with one name
  kFailed,   // could not be made or opened
};

// An open folder of the user's own; closed when the object goes.
class PrivateFolder {
 public:
  PrivateFolder() = default;
  ~PrivateFolder();
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;

  // The descriptor (close-on-exec) that a program must inherit for
  // InheritedPath; -1 when none is open.
  int descriptor() const { return descriptor_; }
  // The path under which a program that inherited descriptor() at the same
  // number reaches `name` in the folder.
  std::string InheritedPath(const std::string& name) const;
  // True when `name` in the folder is a socket (a link is not followed).
  bool HoldsSocket(const std::string& name) const;
  // Removes a socket `name` that an earlier run left; anything else stays.
  void RemoveLeftoverSocket(const std::string& name) const;

 private:
  friend PrivateFolderResult OpenPrivateFolder(const std::string&, PrivateFolder*);
  int descriptor_ = -1;
};

// Makes `path` (mode 0700) or takes the one there when it is fit (a folder
// of ours readable by others is made private, 0700), and opens it into
// `folder`, which must hold none yet. A link of that name is never
// followed.
PrivateFolderResult OpenPrivateFolder(const std::string& path, PrivateFolder* folder);
