#include "player/qemu_command.h"

#include "platform/path_names.h"
#include "platform/shown_text.h"
#include "player/accelerator.h"
#include "player/devices.h"
#include "player/drives.h"
#include "player/network.h"
#include "player/serial_ports.h"
#include "player/tpm.h"
#include "player/vmx_settings.h"

namespace {

void AddMachineSize(const MachineFacts& facts, QemuInvocation& invocation) {
  if (facts.memoryMegabytes > 0) invocation.Add({"-m", std::to_string(facts.memoryMegabytes)});
  if (facts.processors > 0) invocation.Add({"-smp", std::to_string(facts.processors)});
}

void AddWindowTitle(const MachineDescription& machine, const MachineFacts& facts,
                    const HostFacts& host, QemuInvocation& invocation) {
  const std::string title = WindowTitle(machine.displayName, machine.bootCdName, facts, host);
  if (!title.empty()) invocation.Add({"-name", "guest=" + EscapeQemuOptionValue(title)});
}

}  // namespace

MachineDescription DescribeMachine(const VmxConfig& config, const std::string& vmxDirectory,
                                   char separator) {
  MachineDescription machine;
  VmxSettings settings(config);
  machine.uefiRequested = LowerAscii(settings.Text("firmware")) == "efi";
  machine.secureBootRequested = settings.Flag("uefi.secureBoot.enabled", false);
  machine.tpmRequested = settings.Flag("vtpm.present", false);
  machine.memoryMegabytes =
      settings.Number("memsize", kMinimumMemoryMegabytes, kMaximumMemoryMegabytes);
  machine.processors = settings.Number("numvcpus", 1, kMaximumProcessors);
  machine.displayName = settings.Text("displayName");
  DescribeDrives(settings, vmxDirectory, separator, machine);
  DescribeSerialPorts(settings, vmxDirectory, separator, machine);
  DescribeNetworkCards(settings, machine);
  DescribeDevices(settings, machine);
  if (!settings.error().empty()) {
    MachineDescription refused;
    refused.error = settings.error();
    return refused;
  }
  return machine;
}

QemuInvocation MapMachineToQemu(const MachineDescription& machine, const MachineFacts& facts,
                                const HostFacts& host, const MachineState& state) {
  QemuInvocation result;
  AddFirmwareArguments(facts, state.uefi, result);
  AddAcceleratorArguments(facts.accelerator, result);
  AddMachineSize(facts, result);
  AddDriveArguments(machine, facts, result);
  AddWindowTitle(machine, facts, host, result);
  AddNetworkArguments(machine, state.natConnections, result);
  AddPeripheralArguments(machine, host, result);
  AddSerialPortArguments(machine, result);
  AddTpmArguments(facts, state.tpmSocket, result);
  return result;
}

std::string WindowTitle(const std::string& displayName, const std::string& bootCdName,
                        const MachineFacts& facts, const HostFacts& host) {
  std::string title = displayName;
  auto append = [&](std::string_view part) {
    if (part.empty()) return;
    if (!title.empty()) title += host.titleDash;
    title += part;
  };
  append(LastPathName(bootCdName, host.separator));
  append(facts.titleNote);
  if (facts.writesDiscarded) append(ShownText("\xC4nderungen werden verworfen"));
  if (facts.accelerator == QemuAccelerator::kTcg) append("Software-Emulation");
  return title;
}
