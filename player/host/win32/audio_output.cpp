// Sound on Windows: DirectSound, which every Windows has.
#include "player/host/audio_output.h"

std::string DefaultAudioDriver() {
  return "dsound";
}
