#include "player/qemu_invocation.h"

#include <optional>

namespace {

bool HasControlByte(std::string_view value) {
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

// Reads the settings the mapping uses; the first unusable one becomes the
// error and the mapping stops.
class Settings {
 public:
  explicit Settings(const VmxConfig& config) : config_(config) {}

  // Null when unset. A value with a control byte can reach no argument
  // safely, so the configuration is refused.
  const std::string* Value(const std::string& key) {
    const std::string* value = config_.Find(key);
    if (value != nullptr && HasControlByte(*value)) {
      Fail("Ung\xFCltiges Zeichen im Wert von '" + key + "'.");
      return nullptr;
    }
    return value;
  }

  std::string Text(const std::string& key) {
    const std::string* value = Value(key);
    return value == nullptr ? std::string() : *value;
  }

  // VMware writes TRUE/FALSE; yes and 1 count as true as well.
  bool Flag(const std::string& key, bool absent) {
    const std::string* value = Value(key);
    if (value == nullptr) return absent;
    const std::string lower = LowerAscii(*value);
    return lower == "true" || lower == "yes" || lower == "1";
  }

  // A decimal number in [minimum, maximum]; nothing when unset.
  std::optional<long long> Number(const std::string& key, long long minimum, long long maximum) {
    const std::string* value = Value(key);
    if (value == nullptr) return std::nullopt;
    long long number = 0;
    bool valid = !value->empty() && value->size() <= 12;
    for (char c : *value) {
      if (c < '0' || c > '9') valid = false;
      if (valid) number = number * 10 + (c - '0');
    }
    if (!valid || number < minimum || number > maximum) {
      Fail("Ung\xFCltiger Wert f\xFCr '" + key + "': \"" + *value +
           "\" (erlaubt: " + std::to_string(minimum) + " bis " + std::to_string(maximum) + ").");
      return std::nullopt;
    }
    return number;
  }

  void Fail(const std::string& message) {
    if (error_.empty()) error_ = message;
  }
  const std::string& error() const { return error_; }

 private:
  const VmxConfig& config_;
  std::string error_;
};

bool IsAbsolute(std::string_view name, char separator) {
  if (separator != '\\') return !name.empty() && name.front() == '/';
  if (!name.empty() && (name.front() == '\\' || name.front() == '/')) return true;
  return name.size() >= 2 && name[1] == ':';
}

// The QEMU network card nearest to VMware's virtual device.
std::string NetworkModel(const std::string& virtualDev) {
  const std::string dev = LowerAscii(virtualDev);
  if (dev == "vlance") return "pcnet";
  if (dev == "vmxnet3") return "vmxnet3";
  if (dev == "e1000e") return "e1000e";
  return "e1000";
}

// The format of a disk image, by its extension; raw unless it says otherwise,
// so that QEMU never guesses a format from the image's own bytes.
std::string DiskFormat(const std::string& file) {
  const std::string lower = LowerAscii(file);
  auto endsWith = [&](std::string_view tail) {
    return lower.size() >= tail.size() &&
           lower.compare(lower.size() - tail.size(), tail.size(), tail) == 0;
  };
  if (endsWith(".vmdk")) return "vmdk";
  if (endsWith(".qcow2")) return "qcow2";
  return "raw";
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
  Settings settings(config);
  auto& args = result.arguments;
  auto add = [&args](std::initializer_list<std::string> more) {
    args.insert(args.end(), more.begin(), more.end());
  };

  const std::string name = settings.Text("displayName");
  if (!name.empty()) add({"-name", "guest=" + EscapeQemuOptionValue(name)});
  add({"-accel", host.kvm ? "kvm" : "tcg"});
  if (const auto memory =
          settings.Number("memsize", kMinimumMemoryMegabytes, kMaximumMemoryMegabytes)) {
    add({"-m", std::to_string(*memory)});
  }
  if (const auto cpus = settings.Number("numvcpus", 1, kMaximumProcessors)) {
    add({"-smp", std::to_string(*cpus)});
  }

  // IDE: ideB:U is bus B, unit U; QEMU counts the four places 0 to 3.
  bool bootsCd = false;
  bool bootsDisk = false;
  for (int bus = 0; bus < 2; ++bus) {
    for (int unit = 0; unit < 2; ++unit) {
      const std::string prefix = "ide" + std::to_string(bus) + ":" + std::to_string(unit) + ".";
      if (!settings.Flag(prefix + "present", false)) continue;
      const std::string type = LowerAscii(settings.Text(prefix + "deviceType"));
      const bool connected = settings.Flag(prefix + "startConnected", true);
      const std::string file = settings.Text(prefix + "fileName");
      const std::string drive = "if=ide,index=" + std::to_string(2 * bus + unit);
      if (type.empty() || type == "disk") {
        if (!connected || file.empty()) continue;
        const std::string path = ResolveVmxPath(file, host.vmxDirectory, host.separator);
        add({"-drive", "file=" + EscapeQemuOptionValue(path) + "," + drive +
                           ",media=disk,format=" + DiskFormat(file)});
        result.mediaFiles.push_back(path);
        bootsDisk = true;
      } else if (type == "cdrom-image" && connected && !file.empty()) {
        const std::string path = ResolveVmxPath(file, host.vmxDirectory, host.separator);
        add({"-drive",
             "file=" + EscapeQemuOptionValue(path) + "," + drive + ",media=cdrom,readonly=on"});
        result.mediaFiles.push_back(path);
        bootsCd = true;
      } else {
        // A host drive, or an image not connected: an empty CD drive.
        add({"-drive", drive + ",media=cdrom"});
      }
    }
  }
  if (bootsCd) {
    add({"-boot", bootsDisk ? "order=dc" : "order=d"});
  } else if (bootsDisk) {
    add({"-boot", "order=c"});
  } else {
    settings.Fail(
        "Die Konfiguration enth\xE4lt kein Startmedium (kein verbundenes CD-Abbild und keine "
        "Festplatte).");
  }

  for (int card = 0; card < kEthernetCards; ++card) {
    const std::string prefix = "ethernet" + std::to_string(card) + ".";
    if (!settings.Flag(prefix + "present", false)) continue;
    const std::string id = "net" + std::to_string(card);
    // Only NAT reaches beyond the host; every other kind is kept to the
    // guest and the host.
    const bool nat = LowerAscii(settings.Text(prefix + "connectionType")) == "nat";
    add({"-netdev", "user,id=" + id + (nat ? "" : ",restrict=on")});
    // No boot ROM: a machine whose CD does not boot stops at once instead
    // of waiting for a network boot.
    add({"-device",
         NetworkModel(settings.Text(prefix + "virtualDev")) + ",netdev=" + id + ",romfile="});
  }

  if (settings.Flag("usb.present", false)) add({"-usb", "-device", "usb-tablet"});
  if (settings.Flag("sound.present", false) && !host.audioBackend.empty()) {
    add({"-audiodev", host.audioBackend + ",id=sound0", "-device", "ES1370,audiodev=sound0"});
  }
  if (settings.Flag("floppy0.present", false)) add({"-drive", "if=floppy,index=0"});

  // Serial ports keep their numbers: a port below a configured one that is
  // not written to a file is there but connected to nothing.
  std::vector<std::string> serialFiles(kSerialPorts);
  int serialCount = 0;
  for (int port = 0; port < kSerialPorts; ++port) {
    const std::string prefix = "serial" + std::to_string(port) + ".";
    if (!settings.Flag(prefix + "present", false)) continue;
    if (LowerAscii(settings.Text(prefix + "fileType")) != "file") continue;
    const std::string file = settings.Text(prefix + "fileName");
    if (file.empty()) continue;
    serialFiles[port] = ResolveVmxPath(file, host.vmxDirectory, host.separator);
    serialCount = port + 1;
  }
  for (int port = 0; port < serialCount; ++port) {
    if (serialFiles[port].empty()) {
      add({"-serial", "null"});
      continue;
    }
    const std::string id = "serial" + std::to_string(port);
    add({"-chardev", "file,id=" + id + ",path=" + EscapeQemuOptionValue(serialFiles[port]),
         "-serial", "chardev:" + id});
  }

  if (!host.display) {
    // Not -nographic: that would also put the monitor and a copy of the
    // first serial port on the terminal.
    add({"-display", "none"});
  } else if (settings.Flag("gui.fullScreenAtPowerOn", false)) {
    add({"-full-screen"});
  }

  if (!settings.error().empty()) {
    result.error = settings.error();
    result.arguments.clear();
    result.mediaFiles.clear();
  }
  return result;
}
