// The accelerator and the CPU model the guest sees, and when a failed start
// is tried once more with QEMU's software emulation.
#pragma once

#include <string>

#include "player/machine_facts.h"
#include "player/qemu_arguments.h"

// With KVM the host's CPU, with TCG or WHPX QEMU's "max" model: every feature
// the accelerator can give, so that guests that need x86-64-v2 boot.
void AddAcceleratorArguments(QemuAccelerator accelerator, QemuInvocation& invocation);

// `override` is TRENNWICK_PLAYER_ACCEL's value ("kvm", "tcg", "whpx", any
// case; empty when unset). Without it: KVM when it can be used, else WHPX
// when it can, else TCG. False for an override the player does not know.
bool ChooseAccelerator(const std::string& override, bool kvmUsable, bool whpxUsable,
                       QemuAccelerator* accelerator);

// QEMU's name of the accelerator ("kvm", "tcg", "whpx").
const char* AcceleratorName(QemuAccelerator accelerator);

// How long after its start a failing QEMU counts as not having run a guest.
inline constexpr double kEarlyFailureSeconds = 5.0;

// True when a QEMU that ended with `exitCode` after `seconds` failed at its
// start with a hardware accelerator, so that TCG is worth one more try.
bool ShouldRetryWithTcg(QemuAccelerator accelerator, int exitCode, double seconds);
