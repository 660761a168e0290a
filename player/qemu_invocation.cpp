#include "player/qemu_invocation.h"

#include "player/accelerator.h"
#include "player/devices.h"
#include "player/drives.h"
#include "player/firmware.h"
#include "player/serial_ports.h"
#include "player/vmx_settings.h"

namespace {

bool IsAbsolute(std::string_view name, char separator) {
  if (separator != '\\') return !name.empty() && name.front() == '/';
  if (!name.empty() && (name.front() == '\\' || name.front() == '/')) return true;
  return name.size() >= 2 && name[1] == ':';
}

void AddMachineSize(VmxSettings& settings, QemuInvocation& invocation) {
  const std::string name = settings.Text("displayName");
  if (!name.empty()) invocation.Add({"-name", "guest=" + EscapeQemuOptionValue(name)});
  if (const auto memory =
          settings.Number("memsize", kMinimumMemoryMegabytes, kMaximumMemoryMegabytes)) {
    invocation.Add({"-m", std::to_string(*memory)});
  }
  if (const auto cpus = settings.Number("numvcpus", 1, kMaximumProcessors)) {
    invocation.Add({"-smp", std::to_string(*cpus)});
  }
}

}  // namespace

std::string EscapeQemuOptionValue(std::string_view value) {
  std::string escaped;
  for (char c : value) {
    escaped += c;
    if (c == ',') escaped += ',';
  }
  return escaped;
}

std::string ResolveVmxPath(std::string_view name, const std::string& directory, char separator) {
  if (IsAbsolute(name, separator)) return std::string(name);
  // A bare relative name gets "./" so that QEMU never reads "x:" in it as
  // a protocol prefix.
  const std::string base = directory.empty() ? std::string(".") + separator : directory;
  return base + std::string(name);
}

QemuInvocation MapVmxToQemu(const VmxConfig& config, const QemuHostFacts& host) {
  QemuInvocation result;
  VmxSettings settings(config);
  AddFirmwareArguments(settings, host, result);
  AddAcceleratorArguments(host.accelerator, result);
  AddMachineSize(settings, result);
  AddDriveArguments(settings, host, result);
  AddNetworkArguments(settings, result);
  AddPeripheralArguments(settings, host, result);
  AddSerialPortArguments(settings, host, result);
  if (!settings.error().empty()) {
    result.error = settings.error();
    result.arguments.clear();
    result.uses.clear();
  }
  return result;
}
