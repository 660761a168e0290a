// The descriptor store: how the plan's files reach QEMU. On Linux every
// file goes as a descriptor set (-add-fd) opened by the player from the
// very file it checked, and QEMU opens /dev/fdset/N; on Windows QEMU gets
// the placed (resolved) names. The store only hands out what QEMU names for
// a file; it knows nothing of drivers or image layers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "player/file_use.h"
#include "player/host/machine_file_access.h"
#include "player/machine_files.h"

// The system's side; it owns the descriptors it opens.
class HandOverHost {
 public:
  virtual ~HandOverHost() = default;
  // True where QEMU gets descriptors (Linux); false where it gets names.
  virtual bool HandsDescriptors() const = 0;
  // A file the player holds since its check, opened again for QEMU; false
  // unless it is still the same file.
  virtual bool OpenHeld(std::size_t held, HandOverMode mode, std::vector<int>* descriptors) = 0;
  // A file the player does not hold (a serial output, the UEFI store),
  // opened without following a link at its last step.
  virtual bool OpenNamed(const std::string& resolved, HandOverMode mode, bool blockDevice,
                         std::vector<int>* descriptors) = 0;
};

// A file of the plan that QEMU opens, and how.
struct HandedFile {
  std::size_t file = 0;
  FileAccess access = FileAccess::kRead;
  bool operator==(const HandedFile& other) const = default;
};

class FileHandOver {
 public:
  explicit FileHandOver(const MachineFilePlan& plan) : plan_(plan) {}

  // Opens each of `files` for QEMU as it says. False with `failed` naming
  // the file that did not open as what it was.
  bool Open(HandOverHost& host, const std::vector<HandedFile>& files, std::string* failed);
  // A file the player wrote for QEMU (in its private folder), handed over
  // like the plan's files; false with `failed` naming it when it did not
  // open. `file` gets its number, after the plan's files.
  bool AddPlayerFile(HandOverHost& host, const std::string& path, FileAccess access,
                     std::size_t* file, std::string* failed);
  // What QEMU must inherit.
  std::vector<int> Descriptors() const;
  // Arguments that come first (Linux: -add-fd for every descriptor set).
  std::vector<std::string> Preamble() const;
  // What QEMU opens for a file of the plan or of the player, not yet
  // escaped.
  std::string NameOfFile(std::size_t file) const;

 private:
  struct Handed {
    int descriptor;
    int set;
  };
  const MachineFilePlan& plan_;
  struct PlayerFile {
    std::string path;
    int set;  // 0 while it goes by its name
  };
  bool OpenForQemu(HandOverHost& host, std::size_t held, const std::string& resolved,
                   FileAccess access, bool blockDevice, int* set);
  std::vector<int> setOfFile_;  // 0 while a file goes by its name
  std::vector<PlayerFile> playerFiles_;
  bool descriptors_ = false;
  int sets_ = 0;
  std::vector<Handed> handed_;
};
