// Linux sound goes to PulseAudio (or PipeWire's stand-in) only where its
// server can be found: ALSA on a missing card would stop QEMU.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "player/host/audio_output.h"
#include "player/host/posix/audio_output_system.h"

namespace {

class AudioOutputStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    current = this;
    audioOutputSystem.environmentValue = [](const std::string& name, std::string* value) {
      const auto found = current->environment.find(name);
      if (found == current->environment.end()) return false;
      *value = found->second;
      return true;
    };
    audioOutputSystem.exists = [](const std::string& path) {
      return current->existing.count(path) > 0;
    };
  }
  void TearDown() override { audioOutputSystem = kSystemAudioOutputCalls; }

  static inline AudioOutputStandIn* current = nullptr;
  std::map<std::string, std::string> environment;
  std::set<std::string> existing;
};

TEST_F(AudioOutputStandIn, ChoosesSoundOnlyWhereAServerIsThere) {
  EXPECT_EQ(DefaultAudioDriver(), "");
  environment["XDG_RUNTIME_DIR"] = "/run/user/1";
  EXPECT_EQ(DefaultAudioDriver(), "");
  existing.insert("/run/user/1/pulse/native");
  EXPECT_EQ(DefaultAudioDriver(), "pa");
  existing.clear();
  environment["PULSE_SERVER"] = "tcp:host";
  EXPECT_EQ(DefaultAudioDriver(), "pa");
}

}  // namespace
