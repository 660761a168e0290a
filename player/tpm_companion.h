// The swtpm beside a machine that asks for a TPM 2.0: found before the
// mapping, which names the state folder for the decision on the machine's
// files; the folder is opened (and checked) once the machine's lock is
// held, and the mapping then names the socket through it; started before each QEMU run and gone
// when QEMU is: swtpm ends itself when QEMU closes the socket (--terminate) and is stopped when
// QEMU did not start. The folder's descriptor reaches both programs, which
// name the folder through it.
#pragma once

#include <string>
#include <vector>

#include "player/host/program_runner.h"
#include "player/host/tpm_state_folder.h"
#include "player/qemu_invocation.h"

// How long swtpm may take to listen on its socket.
inline constexpr int kTpmStartMilliseconds = 5000;

class TpmCompanion {
 public:
  // Without a request, or without UEFI firmware (the mapping refuses that
  // TPM), nothing is prepared. Empty when ready; else the display text of
  // the refusal. Sets host->tpmStateFolder and host->tpmSocket by name;
  // nothing is made.
  std::string Prepare(const std::string& vmxFile, bool requested, bool uefi, QemuHostFacts* host);
  // Makes or opens the prepared state folder and names the socket through
  // its descriptor in host->tpmSocket. Empty when done or nothing is
  // prepared; else the display text of the refusal.
  std::string OpenState(QemuHostFacts* host);
  // Starts swtpm and waits until it listens. Empty when it does or no TPM
  // is prepared; else the display text of the failure.
  std::string Start();
  // What QEMU must inherit: the state folder's descriptor, if any.
  std::vector<int> Descriptors() const;
  // After QEMU's end: swtpm gets a moment to end by itself, then it is
  // stopped.
  void Stop();

 private:
  std::string program_;
  std::string folderPath_;
  PrivateFolder folder_;
  CompanionProgram swtpm_;
};
