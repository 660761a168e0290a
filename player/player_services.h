// The player's user-facing services as its steps reach them: boxes and
// stderr, the host's facts, the machine's files and running a program.
// The program's entry wires the system's; tests script them and record
// every box, as the launcher's tests do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "player/file_hand_over.h"
#include "player/host/image_folder.h"
#include "player/host/program_runner.h"
#include "player/host/uefi_files.h"
#include "player/host_look.h"
#include "player/machine_files.h"

class PlayerServices {
 public:
  virtual ~PlayerServices() = default;
  virtual bool DisplayPresent() = 0;
  // A box with a display text and MessageBox flags; its answer (6: Yes).
  virtual std::int32_t ShowMessage(const std::string& title, const std::string& text,
                                   std::uint32_t flags) = 0;
  virtual void WriteToStandardError(const std::string& text) = 0;
  virtual HostLook LookAtHost() = 0;
  virtual UefiFirmware FindUefiFirmware(bool secureBoot, const std::string& qemu) = 0;
  virtual PrivateCopyResult MakePrivateCopy(const std::string& source,
                                            const std::string& target) = 0;
  virtual MachineFileHost& MachineFiles() = 0;
  virtual HandOverHost& HandOver() = 0;
  // Where the player writes files for QEMU; removed when the run is over.
  virtual ImageFolder& PlayerImages() = 0;
  // Runs QEMU to its end (see RunProgramToEnd); false when it did not start.
  virtual bool RunProgramToEnd(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const std::vector<int>& keepOpen, ProgramEnd* end) = 0;
};
