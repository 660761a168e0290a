#include "player/accelerator.h"

#include "platform/ascii_case.h"
#include "player/vmx_config.h"

const char* AcceleratorName(QemuAccelerator accelerator) {
  switch (accelerator) {
    case QemuAccelerator::kKvm:
      return "kvm";
    case QemuAccelerator::kWhpx:
      return "whpx";
    case QemuAccelerator::kTcg:
      break;
  }
  return "tcg";
}

void AddAcceleratorArguments(QemuAccelerator accelerator, QemuInvocation& invocation) {
  invocation.Add({"-accel", AcceleratorName(accelerator), "-cpu",
                  accelerator == QemuAccelerator::kKvm ? "host" : "max"});
}

bool ChooseAccelerator(const std::string& override, bool kvmUsable, bool whpxUsable,
                       QemuAccelerator* accelerator) {
  const std::string name = LowerAscii(override);
  if (name.empty()) {
    *accelerator = kvmUsable    ? QemuAccelerator::kKvm
                   : whpxUsable ? QemuAccelerator::kWhpx
                                : QemuAccelerator::kTcg;
    return true;
  }
  for (QemuAccelerator known :
       {QemuAccelerator::kTcg, QemuAccelerator::kKvm, QemuAccelerator::kWhpx}) {
    if (name == AcceleratorName(known)) {
      *accelerator = known;
      return true;
    }
  }
  return false;
}

bool ShouldRetryWithTcg(QemuAccelerator accelerator, int exitCode, double seconds) {
  return accelerator != QemuAccelerator::kTcg && exitCode != 0 && seconds >= 0 &&
         seconds < kEarlyFailureSeconds;
}
