#include "player/accelerator.h"

void AddAcceleratorArguments(QemuAccelerator accelerator, QemuInvocation& invocation) {
  invocation.Add({"-accel", AcceleratorName(accelerator), "-cpu",
                  accelerator == QemuAccelerator::kKvm ? "host" : "max"});
}

bool ShouldRetryWithTcg(QemuAccelerator accelerator, int exitCode, double seconds) {
  return accelerator != QemuAccelerator::kTcg && exitCode != 0 && seconds >= 0 &&
         seconds < kEarlyFailureSeconds;
}
