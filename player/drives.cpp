#include "player/drives.h"

#include "platform/ascii_case.h"
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

// VMware's SCSI units run from 0 to 15; 7 is its adapter's own.
constexpr int kScsiAdapterUnit = 7;
// QEMU's LSI adapters take seven or eight targets, and SeaBIOS boots from
// them only at targets 0 to 6: the further units go to further adapters of
// the same model, seven to each.
constexpr int kLsiBootTargets = 7;

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

enum class DriveKind { kNone, kDisk, kCdImage, kEmptyCd, kUnknown };

// VMware's deviceType values; `withFile`: connected, with a file name.
DriveKind Classify(const std::string& type, bool withFile) {
  if (type.empty() || type == "disk" || type == "ata-harddisk" || type == "scsi-harddisk") {
    return withFile ? DriveKind::kDisk : DriveKind::kNone;
  }
  if (type == "cdrom-image") return withFile ? DriveKind::kCdImage : DriveKind::kEmptyCd;
  // The host's own drive is not handed to the guest: the place stays an
  // empty CD drive.
  if (type == "cdrom-raw" || type == "atapi-cdrom") return DriveKind::kEmptyCd;
  return DriveKind::kUnknown;
}

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
    if (bus == Bus::kScsi && unit == kScsiAdapterUnit) {
      // VMware starts no machine with a drive there; skipping it would lose
      // the drive without a word.
      settings_.Fail("'" + prefix +
                     "present': die SCSI-Einheit 7 ist der Platz des Adapters selbst und kann "
                     "kein Laufwerk tragen (VMware erlaubt 0 bis 6 und 8 bis 15).");
      return;
    }
    const std::string deviceType = settings_.Text(prefix + "deviceType");
    const bool connected = settings_.Flag(prefix + "startConnected", true);
    const std::string file = settings_.Text(prefix + "fileName");
    const DriveKind kind = Classify(LowerAscii(deviceType), connected && !file.empty());
    if (kind == DriveKind::kUnknown) {
      settings_.Fail("Unbekannter Laufwerkstyp: " + prefix + "deviceType = \"" + deviceType +
                     "\".");
      return;
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
      invocation_.bootCdName = file;
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
        std::string id = "scsi" + number;
        // OVMF boots from none of the LSI or VMware adapters, only from
        // virtio-scsi, which every current guest knows as well.
        const std::string model = uefi_ ? std::string(kUefiScsiController)
                                        : ScsiControllerModel(settings_.Text(id + ".virtualDev"));
        const ScsiPlace place = PlaceOnScsi(model, unit);
        if (place.adapter > 0) id += "-" + std::to_string(place.adapter);
        AddControllerOnce(id, model + ",id=" + id);
        return (isCd ? "scsi-cd,bus=" : "scsi-hd,bus=") + id +
               ".0,scsi-id=" + std::to_string(place.target);
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

ScsiPlace PlaceOnScsi(const std::string& model, int unit) {
  if (model != "lsi53c895a" && model != "mptsas1068") return {0, unit};
  // The units above the adapter's own move down by one, so that they fill
  // the further adapters from target 0.
  const int index = unit > kScsiAdapterUnit ? unit - 1 : unit;
  return {index / kLsiBootTargets, index % kLsiBootTargets};
}

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
