// The host's sound output as QEMU's audio driver names it.
#pragma once

#include <string>

// The QEMU audio driver for the host's default sound output; empty when
// the host has none the player can be sure of.
std::string DefaultAudioDriver();
