// The accelerator and the CPU model the guest sees, and when a failed start
// is tried once more with QEMU's software emulation.
#pragma once

#include "player/machine_facts.h"
#include "player/qemu_arguments.h"

// With KVM the host's CPU, with TCG or WHPX QEMU's "max" model: every feature
// the accelerator can give, so that guests that need x86-64-v2 boot.
void AddAcceleratorArguments(QemuAccelerator accelerator, QemuInvocation& invocation);

// How long after its start a failing QEMU counts as not having run a guest.
inline constexpr double kEarlyFailureSeconds = 5.0;

// True when a QEMU that ended with `exitCode` after `seconds` failed at its
// start with a hardware accelerator, so that TCG is worth one more try.
bool ShouldRetryWithTcg(QemuAccelerator accelerator, int exitCode, double seconds);
