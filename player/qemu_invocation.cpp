#include "player/qemu_invocation.h"

#include "player/accelerator.h"
#include "player/devices.h"
#include "player/drives.h"
#include "player/firmware.h"
#include "player/network.h"
#include "player/serial_ports.h"
#include "player/tpm.h"
#include "player/vmx_settings.h"

namespace {

bool IsAbsolute(std::string_view name, char separator) {
  if (separator != '\\') return !name.empty() && name.front() == '/';
  if (!name.empty() && (name.front() == '\\' || name.front() == '/')) return true;
  return name.size() >= 2 && name[1] == ':';
}

constexpr char kTitleDash[] = " \xE2\x80\x93 ";  // an en dash in UTF-8

void AddMachineSize(VmxSettings& settings, QemuInvocation& invocation) {
  if (const auto memory =
          settings.Number("memsize", kMinimumMemoryMegabytes, kMaximumMemoryMegabytes)) {
    invocation.Add({"-m", std::to_string(*memory)});
  }
  if (const auto cpus = settings.Number("numvcpus", 1, kMaximumProcessors)) {
    invocation.Add({"-smp", std::to_string(*cpus)});
  }
}

// After the drives, which know the CD that boots.
void AddWindowTitle(VmxSettings& settings, const QemuHostFacts& host, QemuInvocation& invocation) {
  const std::string title = WindowTitle(settings.Text("displayName"), invocation.bootCdName,
                                        host.separator, host.accelerator);
  if (!title.empty()) invocation.Add({"-name", "guest=" + EscapeQemuOptionValue(title)});
}

}  // namespace

std::string WindowTitle(const std::string& displayName, const std::string& bootCdName,
                        char separator, QemuAccelerator accelerator) {
  std::string title = displayName;
  auto append = [&title](const std::string& part) {
    if (part.empty()) return;
    if (!title.empty()) title += kTitleDash;
    title += part;
  };
  // Windows names take either slash.
  append(bootCdName.substr(bootCdName.find_last_of(separator == '\\' ? "\\/" : "/") + 1));
  if (accelerator == QemuAccelerator::kTcg) append("Software-Emulation");
  return title;
}

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

std::string MachineFileBase(const std::string& vmxFile) {
  constexpr std::string_view kVmxExtension = ".vmx";
  std::string base = vmxFile;
  if (base.size() > kVmxExtension.size() &&
      LowerAscii(base.substr(base.size() - kVmxExtension.size())) == kVmxExtension) {
    base.resize(base.size() - kVmxExtension.size());
  }
  return base;
}

QemuInvocation MapVmxToQemu(const VmxConfig& config, const QemuHostFacts& host) {
  QemuInvocation result;
  VmxSettings settings(config);
  AddFirmwareArguments(settings, host, result);
  AddAcceleratorArguments(host.accelerator, result);
  AddMachineSize(settings, result);
  AddDriveArguments(settings, host, result);
  AddWindowTitle(settings, host, result);
  AddNetworkArguments(settings, host, result);
  AddPeripheralArguments(settings, host, result);
  AddSerialPortArguments(settings, host, result);
  AddTpmArguments(settings, host, result);
  if (!settings.error().empty()) {
    result.error = settings.error();
    result.arguments.clear();
    result.uses.clear();
  }
  return result;
}
