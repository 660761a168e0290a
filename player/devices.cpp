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

void DescribeDevices(VmxSettings& settings, MachineDescription& machine) {
  for (int card = 0; card < kEthernetCards; ++card) {
    const std::string prefix = "ethernet" + std::to_string(card) + ".";
    if (!settings.Flag(prefix + "present", false)) continue;
    machine.networkCards.push_back({card, settings.Text(prefix + "virtualDev"),
                                    LowerAscii(settings.Text(prefix + "connectionType"))});
  }
  machine.usb = settings.Flag("usb.present", false);
  machine.sound = settings.Flag("sound.present", false);
  machine.floppy = settings.Flag("floppy0.present", false);
  machine.fullScreen = settings.Flag("gui.fullScreenAtPowerOn", false);
}

void AddNetworkArguments(const MachineDescription& machine, QemuInvocation& invocation) {
  for (const NetworkCard& card : machine.networkCards) {
    const std::string id = "net" + std::to_string(card.number);
    // Only NAT reaches beyond the host; every other kind is kept to the
    // guest and the host.
    const bool nat = card.connectionType == "nat";
    invocation.Add({"-netdev", "user,id=" + id + (nat ? "" : ",restrict=on")});
    // No boot ROM: a machine whose CD does not boot stops at once instead
    // of waiting for a network boot.
    invocation.Add({"-device", NetworkModel(card.virtualDev) + ",netdev=" + id + ",romfile="});
  }
}

void AddPeripheralArguments(const MachineDescription& machine, const HostFacts& host,
                            QemuInvocation& invocation) {
  if (machine.usb) invocation.Add({"-usb", "-device", "usb-tablet"});
  if (machine.sound && !host.audioBackend.empty()) {
    invocation.Add(
        {"-audiodev", host.audioBackend + ",id=sound0", "-device", "ES1370,audiodev=sound0"});
  }
  if (machine.floppy) invocation.Add({"-drive", "if=floppy,index=0"});
  if (machine.fullScreen) invocation.Add({"-full-screen"});
}
