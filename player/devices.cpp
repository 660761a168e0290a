#include "player/devices.h"

void DescribeDevices(VmxSettings& settings, MachineDescription& machine) {
  machine.usb = settings.Flag("usb.present", false);
  machine.sound = settings.Flag("sound.present", false);
  machine.floppy = settings.Flag("floppy0.present", false);
  machine.fullScreen = settings.Flag("gui.fullScreenAtPowerOn", false);
}

void AddPeripheralArguments(const MachineDescription& machine, const HostFacts& host,
                            QemuInvocation& invocation) {
  if (machine.usb) invocation.Add({"-usb", "-device", "usb-tablet"});
  if (machine.sound && !host.audioBackend.empty()) {
    // An output-only codec: the guest plays sound but has no input that
    // could record the host's microphone.
    invocation.Add({"-audiodev", host.audioBackend + ",id=sound0", "-device", "intel-hda",
                    "-device", "hda-output,audiodev=sound0"});
  }
  if (machine.floppy) invocation.Add({"-drive", "if=floppy,index=0"});
  if (machine.fullScreen) invocation.Add({"-full-screen"});
}
