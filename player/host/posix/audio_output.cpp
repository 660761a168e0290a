// Sound on Linux goes through PulseAudio (or PipeWire's stand-in for it),
// when its server can be found.
#include <sys/stat.h>

#include "player/host/audio_output.h"
#include "player/host/environment.h"
#include "player/host/posix/audio_output_system.h"

namespace {

bool Exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

bool VariableSet(const char* name, std::string* value) {
  return audioOutputSystem.environmentValue(name, value) && !value->empty();
}

}  // namespace

const AudioOutputSystem kSystemAudioOutputCalls = {EnvironmentValue, Exists};
AudioOutputSystem audioOutputSystem = kSystemAudioOutputCalls;

std::string DefaultAudioDriver() {
  // A server named in the environment, or the user's socket. ALSA alone is
  // not trusted: opening a missing card would stop QEMU from starting.
  std::string value;
  if (VariableSet("PULSE_SERVER", &value)) return "pa";
  if (VariableSet("XDG_RUNTIME_DIR", &value) && audioOutputSystem.exists(value + "/pulse/native")) {
    return "pa";
  }
  return {};
}
