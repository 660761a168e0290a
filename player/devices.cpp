#include "player/devices.h"

#include "platform/ascii_case.h"

namespace {

// The QEMU network card nearest to VMware's virtual device.
std::string NetworkModel(const std::string& virtualDev) {
  const std::string dev = LowerAscii(virtualDev);
  if (dev == "vlance") return "pcnet";
  if (dev == "vmxnet3") return "vmxnet3";
  if (dev == "e1000e") return "e1000e";
  return "e1000";
}

}  // namespace

void AddNetworkArguments(VmxSettings& settings, QemuInvocation& invocation) {
  for (int card = 0; card < kEthernetCards; ++card) {
    const std::string prefix = "ethernet" + std::to_string(card) + ".";
    if (!settings.Flag(prefix + "present", false)) continue;
    const std::string id = "net" + std::to_string(card);
    // Only NAT reaches beyond the host; every other kind is kept to the
    // guest and the host.
    const bool nat = LowerAscii(settings.Text(prefix + "connectionType")) == "nat";
    invocation.Add({"-netdev", "user,id=" + id + (nat ? "" : ",restrict=on")});
    // No boot ROM: a machine whose CD does not boot stops at once instead
    // of waiting for a network boot.
    invocation.Add({"-device", NetworkModel(settings.Text(prefix + "virtualDev")) +
                                   ",netdev=" + id + ",romfile="});
  }
}

void AddPeripheralArguments(VmxSettings& settings, const QemuHostFacts& host,
                            QemuInvocation& invocation) {
  if (settings.Flag("usb.present", false)) invocation.Add({"-usb", "-device", "usb-tablet"});
  if (settings.Flag("sound.present", false) && !host.audioBackend.empty()) {
    invocation.Add(
        {"-audiodev", host.audioBackend + ",id=sound0", "-device", "ES1370,audiodev=sound0"});
  }
  if (settings.Flag("floppy0.present", false)) invocation.Add({"-drive", "if=floppy,index=0"});
  if (settings.Flag("gui.fullScreenAtPowerOn", false)) invocation.Add({"-full-screen"});
}
