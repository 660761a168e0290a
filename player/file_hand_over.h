// How the plan's files reach QEMU. On Linux every file goes as a
// descriptor set (-add-fd) opened by the player from the very file it
// checked, and QEMU opens /dev/fdset/N; on Windows QEMU gets the placed
// (resolved) names. Either way each image reaches QEMU as its own block
// nodes with every layer named explicitly, so QEMU opens no name written
// inside an image.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "player/host/machine_file_access.h"
#include "player/machine_files.h"
#include "player/qemu_arguments.h"

// The system's side; it owns the descriptors it opens.
class HandOverHost {
 public:
  virtual ~HandOverHost() = default;
  // True where QEMU gets descriptors (Linux); false where it gets names.
  virtual bool HandsDescriptors() const = 0;
  // A file the player holds since its check, opened again for QEMU; kUnfit
  // unless it is still the same file.
  virtual OpenResult OpenHeld(std::size_t held, HandOverMode mode,
                              std::vector<int>* descriptors) = 0;
  // A file the player does not hold (a serial output, the UEFI store),
  // opened without following a link at its last step.
  virtual OpenResult OpenNamed(const std::string& resolved, HandOverMode mode, bool blockDevice,
                               std::vector<int>* descriptors) = 0;
};

class FileHandOver : public FileRendering {
 public:
  explicit FileHandOver(const MachineFilePlan& plan) : plan_(plan) {}

  // Opens every file of the plan for QEMU, each as its uses need it. On any
  // other result than kOpened `failed` names the file that did not open as
  // what it was.
  OpenResult Open(HandOverHost& host, std::string* failed);
  // What QEMU must inherit.
  std::vector<int> Descriptors() const;

  std::vector<std::string> Preamble() const override;
  std::string FileName(std::size_t use) const override;
  std::vector<std::string> BlockNodes(std::size_t use, const std::string& nodeName,
                                      bool readOnly) const override;

 private:
  // What QEMU opens for a file of the plan.
  std::string NameOfFile(std::size_t file) const;
  // Which files QEMU gets, and how.
  struct Need {
    bool handed = false;
    FileAccess access = FileAccess::kRead;
  };
  std::vector<Need> Needs() const;

  struct Handed {
    int descriptor;
    int set;
  };
  const MachineFilePlan& plan_;
  std::vector<int> setOfFile_;  // 0 while a file goes by its name
  int sets_ = 0;
  std::vector<Handed> handed_;
};
