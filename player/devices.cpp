#include "player/devices.h"

void AddPeripheralArguments(VmxSettings& settings, const QemuHostFacts& host,
                            QemuInvocation& invocation) {
  if (settings.Flag("usb.present", false)) invocation.Add({"-usb", "-device", "usb-tablet"});
  if (settings.Flag("sound.present", false) && !host.audioBackend.empty()) {
    // An output-only codec: the guest gets no input to record, so the
    // host's microphone never reaches it.
    invocation.Add({"-audiodev", host.audioBackend + ",id=sound0", "-device", "intel-hda",
                    "-device", "hda-output,audiodev=sound0"});
  }
  if (settings.Flag("floppy0.present", false)) invocation.Add({"-drive", "if=floppy,index=0"});
  if (settings.Flag("gui.fullScreenAtPowerOn", false)) invocation.Add({"-full-screen"});
}
