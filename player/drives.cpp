#include "player/drives.h"

#include "player/firmware.h"

namespace {

enum class Bus { kIde, kSata, kScsi, kNvme };

struct BusLayout {
  Bus bus;
  const char* prefix;
  int controllers;
  int units;
};

// VMware's limits; IDE has no controller key of its own.
constexpr BusLayout kBuses[] = {
    {Bus::kIde, "ide", 2, 2},
    {Bus::kSata, "sata", 4, 30},
    {Bus::kScsi, "scsi", 4, 16},
    {Bus::kNvme, "nvme", 4, 15},
};

constexpr char kUefiScsiController[] = "virtio-scsi-pci";

// QEMU's AHCI controller has six ports.
constexpr int kAhciPorts = 6;

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

enum class DriveKind { kNone, kDisk, kCdImage, kEmptyCd };

class DrivePlacer {
 public:
  DrivePlacer(VmxSettings& settings, const QemuHostFacts& host, QemuInvocation& invocation)
      : settings_(settings), host_(host), invocation_(invocation) {
    // q35 has no PIIX IDE; its AHCI ports stand in for the IDE places.
    const FirmwareKind firmware = RequestedFirmware(settings);
    q35_ = firmware == FirmwareKind::kEfiSecureBoot;
    uefi_ = firmware != FirmwareKind::kBios;
  }

  void PlaceAll() {
    for (const BusLayout& layout : kBuses) {
      for (int controller = 0; controller < layout.controllers; ++controller) {
        const std::string name = layout.prefix + std::to_string(controller);
        if (layout.bus != Bus::kIde && !settings_.Flag(name + ".present", false)) continue;
        for (int unit = 0; unit < layout.units; ++unit) {
          Place(layout.bus, controller, unit, name + ":" + std::to_string(unit) + ".");
        }
      }
    }
    if (!bootsCd_ && !bootsDisk_) {
      settings_.Fail(
          "Die Konfiguration enth\xE4lt kein Startmedium (kein verbundenes CD-Abbild und keine "
          "Festplatte).");
    }
  }

 private:
  void Place(Bus bus, int controller, int unit, const std::string& prefix) {
    if (!settings_.Flag(prefix + "present", false)) return;
    const std::string type = LowerAscii(settings_.Text(prefix + "deviceType"));
    const bool connected = settings_.Flag(prefix + "startConnected", true);
    const std::string file = settings_.Text(prefix + "fileName");
    DriveKind kind = DriveKind::kEmptyCd;
    if (type.empty() || type == "disk" || type == "scsi-harddisk") {
      kind = connected && !file.empty() ? DriveKind::kDisk : DriveKind::kNone;
    } else if (type == "cdrom-image" && connected && !file.empty()) {
      kind = DriveKind::kCdImage;
    }
    if (kind == DriveKind::kNone) return;
    if (bus == Bus::kNvme && kind != DriveKind::kDisk) {
      settings_.Fail("Ein NVMe-Laufwerk kann keine CD sein: '" + prefix + "deviceType'.");
      return;
    }

    const std::string id = "drive" + std::to_string(drives_++);
    std::string drive = "if=none,id=" + id;
    const bool isCd = kind != DriveKind::kDisk;
    std::string path;
    if (kind != DriveKind::kEmptyCd) {
      path = ResolveVmxPath(file, host_.vmxDirectory, host_.separator);
      drive = "file=" + EscapeQemuOptionValue(path) + "," + drive;
    }
    // A CD image is raw bytes: it never counts as a format that names other
    // files, whatever its first bytes look like. (QEMU takes no format for
    // an empty drive.)
    if (isCd) drive += ",media=cdrom,readonly=on";
    if (!path.empty()) drive += ",format=" + (isCd ? std::string("raw") : DiskFormat(file));

    std::string device = DeviceAndBus(bus, controller, unit, isCd) + ",drive=" + id;
    if (kind == DriveKind::kCdImage && !bootsCd_) {
      device += ",bootindex=1";
      bootsCd_ = true;
    } else if (kind == DriveKind::kDisk && !bootsDisk_) {
      device += ",bootindex=2";
      bootsDisk_ = true;
    }
    if (!path.empty()) {
      invocation_.uses.push_back({path, isCd ? FileAccess::kRead : FileAccess::kWrite,
                                  isCd ? FileUseKind::kCdImage : FileUseKind::kDiskImage,
                                  invocation_.arguments.size() + 1});
    }
    invocation_.Add({"-drive", drive, "-device", device});
  }

  // The device with its place; controllers are added once, before their
  // first drive.
  std::string DeviceAndBus(Bus bus, int controller, int unit, bool isCd) {
    const std::string number = std::to_string(controller);
    switch (bus) {
      case Bus::kIde:
        if (q35_)
          return (isCd ? "ide-cd,bus=ide." : "ide-hd,bus=ide.") +
                 std::to_string(2 * controller + unit);
        return (isCd ? "ide-cd,bus=ide." : "ide-hd,bus=ide.") + number +
               ",unit=" + std::to_string(unit);
      case Bus::kSata: {
        std::string id = "sata" + number;
        if (unit >= kAhciPorts) id += "-" + std::to_string(unit / kAhciPorts);
        AddControllerOnce(id, "ahci,id=" + id);
        return (isCd ? "ide-cd,bus=" : "ide-hd,bus=") + id + "." +
               std::to_string(unit % kAhciPorts);
      }
      case Bus::kScsi: {
        const std::string id = "scsi" + number;
        // OVMF boots from none of the LSI or VMware adapters, only from
        // virtio-scsi, which every current guest knows as well.
        const std::string model = uefi_ ? std::string(kUefiScsiController)
                                        : ScsiControllerModel(settings_.Text(id + ".virtualDev"));
        AddControllerOnce(id, model + ",id=" + id);
        return (isCd ? "scsi-cd,bus=" : "scsi-hd,bus=") + id + ".0,scsi-id=" + std::to_string(unit);
      }
      case Bus::kNvme:
        break;
    }
    // Every NVMe disk is a controller of its own; its serial names the place.
    return "nvme,serial=nvme" + number + "-" + std::to_string(unit);
  }

  void AddControllerOnce(const std::string& id, const std::string& device) {
    for (const std::string& made : controllers_) {
      if (made == id) return;
    }
    controllers_.push_back(id);
    invocation_.Add({"-device", device});
  }

  VmxSettings& settings_;
  const QemuHostFacts& host_;
  QemuInvocation& invocation_;
  bool q35_ = false;
  bool uefi_ = false;
  bool bootsCd_ = false;
  bool bootsDisk_ = false;
  int drives_ = 0;
  std::vector<std::string> controllers_;
};

}  // namespace

std::string ScsiControllerModel(const std::string& virtualDev) {
  const std::string dev = LowerAscii(virtualDev);
  if (dev == "pvscsi") return "pvscsi";
  if (dev == "lsisas1068") return "mptsas1068";
  // lsilogic (VMware's default), buslogic and anything unknown: the LSI
  // parallel SCSI adapter, which SeaBIOS boots from and every guest knows.
  return "lsi53c895a";
}

void AddDriveArguments(VmxSettings& settings, const QemuHostFacts& host,
                       QemuInvocation& invocation) {
  DrivePlacer(settings, host, invocation).PlaceAll();
}
