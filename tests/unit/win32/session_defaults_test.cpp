// A Windows player always has its desktop, and sound through DirectSound.
#include <gtest/gtest.h>

#include "player/host/audio_output.h"
#include "player/host/desktop_session.h"

namespace {

TEST(WindowsSession, HasADisplayAndDirectSound) {
  EXPECT_EQ(DefaultAudioDriver(), "dsound");
  EXPECT_TRUE(GraphicalDisplayPresent());
}

}  // namespace
