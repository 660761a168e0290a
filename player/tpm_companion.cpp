#include "player/tpm_companion.h"

#include <chrono>
#include <thread>

#include "platform/shown_text.h"
#include "player/host/program_search.h"
#include "player/tpm.h"

namespace {

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

std::string TpmCompanion::Open(const std::string& vmxFile, const std::string& swtpm) {
  program_ = swtpm;
  folderPath_ = TpmStateFolderPath(vmxFile);
  switch (OpenPrivateFolder(folderPath_, &folder_)) {
    case PrivateFolderResult::kMade:
    case PrivateFolderResult::kKept:
      return {};
    case PrivateFolderResult::kRefused:
      return WithName(
          "Der Ordner f\xFCr den Zustand des TPM ist kein eigener, privater Ordner (ein Link, "
          "eine Datei, der Ordner eines anderen Benutzers, f\xFCr andere beschreibbar, oder er "
          "enth\xE4lt Links oder fremde Dateien): '",
          folderPath_);
    case PrivateFolderResult::kFailed:
      break;
  }
  return WithName("Der Ordner f\xFCr den Zustand des TPM kann nicht angelegt werden: '",
                  folderPath_);
}

std::string TpmCompanion::Socket() const {
  return folder_.descriptor() < 0 ? std::string() : folder_.InheritedPath(kTpmSocketName);
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
