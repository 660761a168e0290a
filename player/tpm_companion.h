// The swtpm beside a machine that gets a TPM 2.0. Its state folder beside
// the .vmx is made or opened (and checked) once the machine's lock is
// held; QEMU reaches swtpm's socket through the folder's descriptor, which
// both programs inherit. swtpm is started before each QEMU run and is gone
// when QEMU is: it ends itself when QEMU closes the socket (--terminate)
// and is stopped when QEMU did not start.
#pragma once

#include <string>
#include <vector>

#include "player/host/program_runner.h"
#include "player/host/tpm_state_folder.h"

// How long swtpm may take to listen on its socket.
inline constexpr int kTpmStartMilliseconds = 5000;

class TpmCompanion {
 public:
  // Makes or opens the state folder of `vmxFile` for `swtpm`. Empty when
  // done; else the display text of the refusal.
  std::string Open(const std::string& vmxFile, const std::string& swtpm);
  // swtpm's control socket as QEMU reaches it; empty before Open.
  std::string Socket() const;
  // Starts swtpm and waits until it listens. Empty when it does or no TPM
  // is open; else the display text of the failure.
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
