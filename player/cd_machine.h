// The throw-away machine for a CD image that the player was given instead
// of a .vmx (an ISO opened from the file manager): the launcher's machine
// (core/throwaway_machine), from the user's template where the launcher
// beside this program keeps it (the built-in one where there is none; none
// is written). The machine owns its folder and removes it with everything
// in it when it is removed or destroyed.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/throwaway_machine.h"
#include "platform/text_utilities.h"

// True for a name that the player reads as a configuration: it ends with
// ".vmx", in any case. Every other name is taken as a CD image.
bool IsVmxFileName(std::string_view name);

// Where and when a machine is made: the folder of the user's template and
// the temporary root (both ending with a separator), and the clock for
// the stamp of the folder's name.
struct CdMachinePlaces {
  std::string templateDirectory;
  std::string temporaryRoot;
  DateValue now = 0;
};

// The launcher's places for this program, which lies beside the launcher:
// its template folder, the system's temporary root and the present time.
CdMachinePlaces SystemCdMachinePlaces();

// A picked image as the machine is to get it. A link stands for the file
// it points to, and the machine names that file, so that a link changed
// after the question leads nowhere else. A download named like a CD can
// be a link to any file of the user's: where the file lies outside the
// link's folder the user is asked first.
struct PickedImage {
  std::string image;          // the link's target; the name as given when it is no link
  bool linkLeadsOut = false;  // a link to a file or drive outside its own folder
};
PickedImage LookAtPickedImage(const std::string& image);

// The display text of the question about a link that leads out of its
// folder, naming both.
std::string LinkedImageQuestion(const std::string& link, const std::string& target);

class CdMachine {
 public:
  CdMachine() = default;
  ~CdMachine() { Remove(); }
  CdMachine(const CdMachine&) = delete;
  CdMachine& operator=(const CdMachine&) = delete;

  // The configuration to play; empty while no machine is made.
  const std::string& vmxFile() const { return vmxFile_; }
  // The machine's folder, ending with a separator; empty when there is none.
  const std::string& folder() const { return folder_; }

  // Removes the folder with everything in it. True when it is gone or
  // there was none; on false folder() still names what stays.
  bool Remove();

 private:
  friend std::optional<MachineFailure> MakeCdMachine(const std::string& image,
                                                     const CdMachinePlaces& places,
                                                     CdMachine* machine);
  std::string folder_;
  std::string vmxFile_;
};

// Makes the machine for `image` (a relative name is taken from the present
// directory) into `machine`, which must hold none yet; the failure, for
// MachineFailureText, when it could not be made. Nothing is left on disk
// then.
std::optional<MachineFailure> MakeCdMachine(const std::string& image, const CdMachinePlaces& places,
                                            CdMachine* machine);
