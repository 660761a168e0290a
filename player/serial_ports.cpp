#include "player/serial_ports.h"

#include "platform/ascii_case.h"

void DescribeSerialPorts(VmxSettings& settings, const std::string& vmxDirectory, char separator,
                         MachineDescription& machine) {
  // Ports keep their numbers: a port below a configured one that is not
  // written to a file is there but connected to nothing.
  for (int port = 0; port < kSerialPorts; ++port) {
    const std::string prefix = "serial" + std::to_string(port) + ".";
    if (!settings.Flag(prefix + "present", false)) continue;
    if (LowerAscii(settings.Text(prefix + "fileType")) != "file") continue;
    const std::string file = settings.Text(prefix + "fileName");
    if (file.empty()) continue;
    machine.serialPorts.resize(static_cast<std::size_t>(port) + 1, kNoUse);
    machine.serialPorts.back() = machine.uses.size();
    machine.uses.push_back({ResolveVmxPath(file, vmxDirectory, separator), FileAccess::kAppend,
                            FileUseKind::kSerialOutput, "serial" + std::to_string(port)});
  }
}

void AddSerialPortArguments(const MachineDescription& machine, QemuInvocation& invocation) {
  for (std::size_t port = 0; port < machine.serialPorts.size(); ++port) {
    const std::size_t use = machine.serialPorts[port];
    if (use == kNoUse) {
      invocation.Add({"-serial", "null"});
      continue;
    }
    const std::string id = "serial" + std::to_string(port);
    invocation.Add({"-chardev"});
    invocation.AddFileName("file,id=" + id + ",path=", use, ",append=on");
    invocation.Add({"-serial", "chardev:" + id});
  }
}
