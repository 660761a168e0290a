#include "player/tpm_companion.h"

#include <chrono>
#include <thread>

#include "platform/shown_text.h"
#include "player/host/program_search.h"
#include "player/tpm.h"

namespace {

constexpr char kSwtpmProgram[] = "swtpm";
constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr int kOwnEndMilliseconds = 1000;

std::string WithName(const char* before, const std::string& name) {
  return ShownText(before) + ShownFileName(name) + ShownText("'.");
}

// Polls `done` until it holds or `milliseconds` have passed.
template <typename Condition>
bool WaitFor(Condition done, int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

}  // namespace

std::string TpmCompanion::Prepare(const std::string& vmxFile, bool requested, bool uefi,
                                  QemuHostFacts* host) {
  if (!requested) return {};
  if (!HostEmulatesTpm()) {
    return ShownText(
        "Die Konfiguration verlangt ein TPM 2.0 (vtpm.present), aber QEMU f\xFCr Windows kann "
        "kein TPM nachbilden. Nichts gestartet.");
  }
  if (!uefi) return {};
  program_ = FindProgram(kSwtpmProgram, "");
  if (program_.empty()) {
    return ShownText(
        "Die Konfiguration verlangt ein TPM 2.0 (vtpm.present), aber der TPM-Emulator swtpm "
        "fehlt. Bitte das Paket \"swtpm\" installieren.");
  }
  folderPath_ = TpmStateFolderPath(vmxFile);
  // Named plainly until the folder is opened, for the decision on the
  // machine's files; nothing is made yet.
  host->tpmStateFolder = folderPath_;
  host->tpmSocket = folderPath_ + host->separator + kTpmSocketName;
  return {};
}

std::string TpmCompanion::OpenState(QemuHostFacts* host) {
  if (folderPath_.empty()) return {};
  switch (OpenPrivateFolder(folderPath_, &folder_)) {
    case PrivateFolderResult::kMade:
    case PrivateFolderResult::kKept:
      break;
    case PrivateFolderResult::kRefused:
      host->tpmSocket.clear();
      return WithName(
          "Der Ordner f\xFCr den Zustand des TPM ist kein eigener, privater Ordner (ein Link, "
          "eine Datei, der Ordner eines anderen Benutzers oder f\xFCr andere beschreibbar): '",
          folderPath_);
    case PrivateFolderResult::kFailed:
      host->tpmSocket.clear();
      return WithName("Der Ordner f\xFCr den Zustand des TPM kann nicht angelegt werden: '",
                      folderPath_);
  }
  host->tpmSocket = folder_.InheritedPath(kTpmSocketName);
  return {};
}

std::string TpmCompanion::Start() {
  if (folder_.descriptor() < 0) return {};
  // The machine lock is held: a socket there is an earlier run's.
  folder_.RemoveLeftoverSocket(kTpmSocketName);
  const std::vector<std::string> arguments =
      SwtpmArguments(folder_.InheritedPath(""), folder_.InheritedPath(kTpmSocketName));
  if (!StartCompanionProgram(program_, arguments, Descriptors(), &swtpm_)) {
    return WithName("Der TPM-Emulator konnte nicht gestartet werden: '", program_);
  }
  const bool listening =
      WaitFor([this] { return folder_.HoldsSocket(kTpmSocketName) || !swtpm_.Running(); },
              kTpmStartMilliseconds) &&
      folder_.HoldsSocket(kTpmSocketName);
  if (listening) return {};
  swtpm_.Stop();
  return WithName(
      "Der TPM-Emulator swtpm ist nicht bereit geworden (seine Meldungen stehen in der "
      "Fehlerausgabe). Zustand des TPM: '",
      folderPath_);
}

std::vector<int> TpmCompanion::Descriptors() const {
  if (folder_.descriptor() < 0) return {};
  return {folder_.descriptor()};
}

void TpmCompanion::Stop() {
  WaitFor([this] { return !swtpm_.Running(); }, kOwnEndMilliseconds);
  swtpm_.Stop();
}
