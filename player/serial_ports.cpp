#include "player/serial_ports.h"

#include <vector>

#include "platform/ascii_case.h"

void AddSerialPortArguments(VmxSettings& settings, const QemuHostFacts& host,
                            QemuInvocation& invocation) {
  // Ports keep their numbers: a port below a configured one that is not
  // written to a file is there but connected to nothing.
  std::vector<std::string> files(kSerialPorts);
  int count = 0;
  for (int port = 0; port < kSerialPorts; ++port) {
    const std::string prefix = "serial" + std::to_string(port) + ".";
    if (!settings.Flag(prefix + "present", false)) continue;
    if (LowerAscii(settings.Text(prefix + "fileType")) != "file") continue;
    const std::string file = settings.Text(prefix + "fileName");
    if (file.empty()) continue;
    files[port] = ResolveVmxPath(file, host.vmxDirectory, host.separator);
    count = port + 1;
  }
  for (int port = 0; port < count; ++port) {
    if (files[port].empty()) {
      invocation.Add({"-serial", "null"});
      continue;
    }
    const std::string id = "serial" + std::to_string(port);
    invocation.uses.push_back({files[port], FileAccess::kWrite, FileUseKind::kSerialOutput,
                               invocation.arguments.size() + 1});
    invocation.Add({"-chardev",
                    "file,id=" + id + ",path=" + EscapeQemuOptionValue(files[port]) + ",append=on",
                    "-serial", "chardev:" + id});
  }
}
