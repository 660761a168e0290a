#include "player/drives.h"

#include "platform/ascii_case.h"

namespace {

struct BusLayout {
  DriveBus bus;
  const char* prefix;
  int controllers;
  int units;
};

// VMware's limits; IDE has no controller key of its own.
constexpr BusLayout kBuses[] = {
    {DriveBus::kIde, "ide", 2, 2},
    {DriveBus::kSata, "sata", 4, 30},
    {DriveBus::kScsi, "scsi", 4, 16},
    {DriveBus::kNvme, "nvme", 4, 15},
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

constexpr int kBootFirst = 1;
constexpr int kBootSecond = 2;

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

class DriveReader {
 public:
  DriveReader(VmxSettings& settings, const std::string& vmxDirectory, char separator,
              MachineDescription& machine)
      : settings_(settings),
        vmxDirectory_(vmxDirectory),
        separator_(separator),
        machine_(machine) {}

  void ReadAll() {
    for (const BusLayout& layout : kBuses) {
      for (int controller = 0; controller < layout.controllers; ++controller) {
        const std::string name = layout.prefix + std::to_string(controller);
        if (layout.bus != DriveBus::kIde && !settings_.Flag(name + ".present", false)) continue;
        for (int unit = 0; unit < layout.units; ++unit) {
          Read(layout.bus, controller, unit, name, name + ":" + std::to_string(unit) + ".");
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
  void Read(DriveBus bus, int controller, int unit, const std::string& controllerName,
            const std::string& prefix) {
    if (!settings_.Flag(prefix + "present", false)) return;
    if (bus == DriveBus::kScsi && unit == kScsiAdapterUnit) {
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
    if (bus == DriveBus::kNvme && kind != DriveKind::kDisk) {
      settings_.Fail("Ein NVMe-Laufwerk kann keine CD sein: '" + prefix + "deviceType'.");
      return;
    }

    Drive drive;
    drive.bus = bus;
    drive.controller = controller;
    drive.unit = unit;
    drive.cd = kind != DriveKind::kDisk;
    if (bus == DriveBus::kScsi)
      drive.scsiVirtualDev = settings_.Text(controllerName + ".virtualDev");
    const std::string node = "drive" + std::to_string(machine_.drives.size());
    if (kind != DriveKind::kEmptyCd) {
      drive.use = machine_.uses.size();
      machine_.uses.push_back({ResolveVmxPath(file, vmxDirectory_, separator_),
                               drive.cd ? FileAccess::kRead : FileAccess::kWrite,
                               drive.cd ? FileUseKind::kCdImage : FileUseKind::kDiskImage, node});
    }
    if (kind == DriveKind::kCdImage && !bootsCd_) {
      drive.bootIndex = kBootFirst;
      bootsCd_ = true;
      machine_.bootCdUse = drive.use;
      machine_.bootCdName = file;
    } else if (kind == DriveKind::kDisk && !bootsDisk_) {
      drive.bootIndex = kBootSecond;
      bootsDisk_ = true;
    }
    machine_.drives.push_back(drive);
  }

  VmxSettings& settings_;
  const std::string& vmxDirectory_;
  const char separator_;
  MachineDescription& machine_;
  bool bootsCd_ = false;
  bool bootsDisk_ = false;
};

class DriveRenderer {
 public:
  DriveRenderer(const MachineFacts& facts, QemuInvocation& invocation)
      : facts_(facts), invocation_(invocation) {}

  void Render(const Drive& drive, std::size_t number) {
    const std::string node = "drive" + std::to_string(number);
    if (drive.use == kNoUse) {
      // QEMU takes no format for an empty drive.
      invocation_.Add({"-drive", "if=none,id=" + node + ",media=cdrom,readonly=on"});
    } else {
      // A CD image is raw bytes, whatever its first bytes look like; a
      // disk's format comes from its content, decided by the plan.
      invocation_.AddBlockNodes(node, drive.use, drive.cd);
    }
    std::string device = DeviceAndBus(drive) + ",drive=" + node;
    if (drive.bootIndex != 0) device += ",bootindex=" + std::to_string(drive.bootIndex);
    invocation_.Add({"-device", device});
  }

 private:
  // The device with its place; controllers are added once, before their
  // first drive.
  std::string DeviceAndBus(const Drive& drive) {
    const std::string number = std::to_string(drive.controller);
    const char* ideDevice = drive.cd ? "ide-cd,bus=" : "ide-hd,bus=";
    switch (drive.bus) {
      case DriveBus::kIde:
        // q35 has no PIIX IDE; its AHCI ports stand in for the IDE places.
        if (facts_.Q35()) {
          return ideDevice + std::string("ide.") +
                 std::to_string(2 * drive.controller + drive.unit);
        }
        return ideDevice + std::string("ide.") + number + ",unit=" + std::to_string(drive.unit);
      case DriveBus::kSata: {
        std::string id = "sata" + number;
        if (drive.unit >= kAhciPorts) id += "-" + std::to_string(drive.unit / kAhciPorts);
        AddControllerOnce(id, "ahci,id=" + id);
        return ideDevice + id + "." + std::to_string(drive.unit % kAhciPorts);
      }
      case DriveBus::kScsi: {
        std::string id = "scsi" + number;
        // OVMF boots from none of the LSI or VMware adapters, only from
        // virtio-scsi, which every current guest knows as well.
        const std::string model = facts_.Uefi() ? std::string(kUefiScsiController)
                                                : ScsiControllerModel(drive.scsiVirtualDev);
        const ScsiPlace place = PlaceOnScsi(model, drive.unit);
        if (place.adapter > 0) id += "-" + std::to_string(place.adapter);
        AddControllerOnce(id, model + ",id=" + id);
        return (drive.cd ? "scsi-cd,bus=" : "scsi-hd,bus=") + id +
               ".0,scsi-id=" + std::to_string(place.target);
      }
      case DriveBus::kNvme:
        break;
    }
    // Every NVMe disk is a controller of its own; its serial names the place.
    return "nvme,serial=nvme" + number + "-" + std::to_string(drive.unit);
  }

  void AddControllerOnce(const std::string& id, const std::string& device) {
    for (const std::string& made : controllers_) {
      if (made == id) return;
    }
    controllers_.push_back(id);
    invocation_.Add({"-device", device});
  }

  const MachineFacts& facts_;
  QemuInvocation& invocation_;
  std::vector<std::string> controllers_;
};

}  // namespace

ScsiPlace PlaceOnScsi(const std::string& model, int unit) {
  if (model != "lsi53c895a") return {0, unit};
  // The units above the adapter's own move down by one, so that they fill
  // the further adapters from target 0.
  const int index = unit > kScsiAdapterUnit ? unit - 1 : unit;
  return {index / kLsiBootTargets, index % kLsiBootTargets};
}

std::string ScsiControllerModel(const std::string& virtualDev) {
  const std::string dev = LowerAscii(virtualDev);
  if (dev == "pvscsi") return "pvscsi";
  // VMware's SAS adapter: QEMU's MegaRAID SAS 1078, which Linux
  // (megaraid_sas), Windows from Vista and Server 2008 on (its own
  // megasas.sys) and SeaBIOS drive; QEMU's SAS 1068 shows Linux its
  // controller but no disk behind it.
  if (dev == "lsisas1068") return "megasas";
  // lsilogic (VMware's default), buslogic and anything unknown: the LSI
  // parallel SCSI adapter, which SeaBIOS boots from and every guest knows.
  return "lsi53c895a";
}

void DescribeDrives(VmxSettings& settings, const std::string& vmxDirectory, char separator,
                    MachineDescription& machine) {
  DriveReader(settings, vmxDirectory, separator, machine).ReadAll();
}

void AddDriveArguments(const MachineDescription& machine, const MachineFacts& facts,
                       QemuInvocation& invocation) {
  DriveRenderer renderer(facts, invocation);
  for (std::size_t i = 0; i < machine.drives.size(); ++i) renderer.Render(machine.drives[i], i);
}
