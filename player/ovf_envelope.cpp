#include "player/ovf_envelope.h"

#include <map>

#include "platform/ascii_case.h"
#include "player/appliance_names.h"

namespace {

constexpr std::string_view kOvf1 = "http://schemas.dmtf.org/ovf/envelope/1";
constexpr std::string_view kOvf2 = "http://schemas.dmtf.org/ovf/envelope/2";
constexpr std::string_view kVmware = "http://www.vmware.com/schema/ovf";
constexpr std::string_view kVirtualBox = "http://www.virtualbox.org/ovf/machine";

// CIM resource types of the items.
constexpr int kProcessor = 3;
constexpr int kMemory = 4;
constexpr int kIdeController = 5;
constexpr int kScsiController = 6;
constexpr int kEthernetAdapter = 10;
constexpr int kCdDrive = 15;
constexpr int kDvdDrive = 16;
constexpr int kDiskDrive = 17;
constexpr int kOtherStorageController = 20;
constexpr int kUsbController = 23;
constexpr int kSoundCard = 35;

// The numbers no machine exceeds; larger ones are refused, not cut.
constexpr long long kLargestQuantity = 1LL << 50;
constexpr int kMegabyteShift = 20;

struct BusLimits {
  OvfBus bus;
  int controllers;
  int units;
};
// VMware's limits, as its .vmx files have them.
constexpr BusLimits kBusLimits[] = {
    {OvfBus::kIde, 2, 2},
    {OvfBus::kSata, 4, 30},
    {OvfBus::kScsi, 4, 16},
    {OvfBus::kNvme, 4, 15},
};
constexpr int kScsiAdapterUnit = 7;

const BusLimits& LimitsOf(OvfBus bus) {
  for (const BusLimits& limits : kBusLimits) {
    if (limits.bus == bus) return limits;
  }
  return kBusLimits[0];
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\n' ||
                           text.front() == '\r')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' ||
                           text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

std::optional<long long> Number(std::string_view text) {
  text = Trim(text);
  if (text.empty() || text.size() > 18) return std::nullopt;
  long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The power of two of an allocation unit: "byte * 2^20" as DSP0004 writes
// it, or the names VirtualBox and older exports use. -1 for anything else.
int UnitShift(std::string_view units) {
  std::string compact;
  for (const char c : units) {
    if (c != ' ' && c != '\t') compact.push_back(LowerAsciiChar(c));
  }
  if (compact.empty() || compact == "megabytes" || compact == "mb") return kMegabyteShift;
  if (compact == "byte" || compact == "bytes") return 0;
  if (compact == "kilobytes" || compact == "kb") return 10;
  if (compact == "gigabytes" || compact == "gb") return 30;
  if (compact.substr(0, 7) == "byte*2^") {
    const std::optional<long long> shift = Number(compact.substr(7));
    if (shift && *shift <= 60) return static_cast<int>(*shift);
  }
  return -1;
}

std::string ItemField(const XmlElement& item, std::string_view local) {
  const XmlElement* field = item.Child(local);
  return field ? std::string(Trim(field->text)) : std::string();
}

// "ovf:/disk/ID" or "/disk/ID" (kind "disk"): the ID, else empty.
std::string HostResourceId(std::string_view resource, std::string_view kind) {
  resource = Trim(resource);
  if (resource.substr(0, 4) == "ovf:") resource.remove_prefix(4);
  const std::string lead = "/" + std::string(kind) + "/";
  if (resource.substr(0, lead.size()) != lead) return {};
  return std::string(resource.substr(lead.size()));
}

struct Controller {
  OvfBus bus = OvfBus::kIde;
  int number = 0;
  std::string scsiModel;
  bool known = true;
};

class EnvelopeReader {
 public:
  OvfEnvelope Read(std::string_view text) {
    const XmlDocument document = ReadXmlDocument(text);
    if (document.fault != XmlFault::kNone) {
      envelope_.xml = document.fault;
      return Fail(OvfFault::kNotXml, "");
    }
    const XmlElement& root = document.root;
    if (root.local != "Envelope" || (root.space != kOvf1 && root.space != kOvf2)) {
      return Fail(OvfFault::kNotEnvelope, "");
    }
    ovf_ = root.space;
    if (!ReadReferences(root) || !ReadDisks(root)) return envelope_;
    const XmlElement* system = root.Child("VirtualSystem");
    if (system == nullptr || root.Child("VirtualSystemCollection") != nullptr) {
      return Fail(OvfFault::kNoMachine, "");
    }
    const XmlElement* name = system->Child("Name");
    const std::string* id = system->Attribute(ovf_, "id");
    envelope_.name = name ? std::string(Trim(name->text)) : id ? *id : std::string();
    if (const XmlElement* hardware = system->Child("VirtualHardwareSection")) {
      if (!ReadHardware(*hardware)) return envelope_;
    }
    if (const XmlElement* machine = system->Child("Machine");
        machine != nullptr && machine->space == kVirtualBox) {
      ReadVirtualBoxFirmware(*machine);
    }
    return envelope_;
  }

 private:
  OvfEnvelope Fail(OvfFault fault, std::string detail) {
    if (envelope_.fault == OvfFault::kNone) {
      envelope_.fault = fault;
      envelope_.faultDetail = std::move(detail);
    }
    return envelope_;
  }
  bool Fails(OvfFault fault, std::string detail) {
    Fail(fault, std::move(detail));
    return false;
  }

  std::string Attribute(const XmlElement& element, std::string_view local) const {
    const std::string* value = element.Attribute(ovf_, local);
    return value ? *value : std::string();
  }

  bool ReadReferences(const XmlElement& root) {
    const XmlElement* references = root.Child("References");
    if (references == nullptr) return true;
    for (const XmlElement& element : references->children) {
      if (element.local != "File") continue;
      OvfFile file;
      file.id = Attribute(element, "id");
      file.href = Attribute(element, "href");
      if (file.id.empty() || fileIndex_.count(file.id) != 0) {
        return Fails(OvfFault::kUnknownReference, file.id);
      }
      if (!IsPlainRelativeName(file.href)) return Fails(OvfFault::kUnsafeName, file.href);
      const std::string compression = Attribute(element, "compression");
      if ((!compression.empty() && compression != "identity") ||
          element.Attribute(ovf_, "chunkSize") != nullptr) {
        return Fails(OvfFault::kPackedFile, file.href);
      }
      if (const std::string* size = element.Attribute(ovf_, "size")) {
        const std::optional<long long> bytes = Number(*size);
        if (!bytes) return Fails(OvfFault::kBadQuantity, *size);
        file.size = static_cast<std::uint64_t>(*bytes);
      }
      fileIndex_[file.id] = static_cast<int>(envelope_.files.size());
      envelope_.files.push_back(std::move(file));
    }
    return true;
  }

  bool ReadDisks(const XmlElement& root) {
    const XmlElement* section = root.Child("DiskSection");
    if (section == nullptr) return true;
    for (const XmlElement& disk : section->children) {
      if (disk.local != "Disk") continue;
      const std::string id = Attribute(disk, "diskId");
      const auto file = fileIndex_.find(Attribute(disk, "fileRef"));
      // A disk without a file would have to be made empty: none is made.
      if (id.empty() || file == fileIndex_.end() || diskFile_.count(id) != 0) {
        return Fails(OvfFault::kUnknownReference, id);
      }
      diskFile_[id] = file->second;
    }
    return true;
  }

  bool ReadHardware(const XmlElement& hardware) {
    std::vector<const XmlElement*> items;
    for (const XmlElement& element : hardware.children) {
      if (element.local == "Item" || element.local == "StorageItem" ||
          element.local == "EthernetPortItem") {
        items.push_back(&element);
      } else if ((element.local == "Config" || element.local == "ExtraConfig") &&
                 element.space == kVmware) {
        ReadVmwareConfig(element);
      }
    }
    // Controllers first: a drive may come before its controller.
    for (const XmlElement* item : items) {
      if (!ReadController(*item)) return false;
    }
    for (const XmlElement* item : items) {
      if (!ReadItem(*item)) return false;
    }
    return true;
  }

  void ReadVmwareConfig(const XmlElement& config) {
    const std::string* key = config.Attribute(kVmware, "key");
    const std::string* value = config.Attribute(kVmware, "value");
    if (key == nullptr || value == nullptr) return;
    if (EqualsIgnoringAsciiCase(*key, "firmware")) {
      envelope_.uefi = EqualsIgnoringAsciiCase(*value, "efi");
    } else if (EqualsIgnoringAsciiCase(*key, "uefi.secureBoot.enabled")) {
      envelope_.secureBoot = EqualsIgnoringAsciiCase(*value, "true");
    }
  }

  // VirtualBox keeps its own settings beside the envelope's hardware.
  void ReadVirtualBoxFirmware(const XmlElement& element) {
    for (const XmlElement& child : element.children) {
      if (child.local == "Firmware") {
        const std::string* type = child.Attribute("", "type");
        if (type != nullptr && EqualsIgnoringAsciiCase(*type, "EFI")) envelope_.uefi = true;
      } else {
        ReadVirtualBoxFirmware(child);
      }
    }
  }

  bool ReadController(const XmlElement& item) {
    const std::optional<long long> type = Number(ItemField(item, "ResourceType"));
    if (!type ||
        (*type != kIdeController && *type != kScsiController && *type != kOtherStorageController)) {
      return true;
    }
    const std::string id = ItemField(item, "InstanceID");
    if (id.empty() || controllers_.count(id) != 0) {
      return Fails(OvfFault::kUnknownReference, id);
    }
    const std::string subtype = LowerAscii(ItemField(item, "ResourceSubType"));
    Controller controller;
    if (*type == kIdeController) {
      controller.bus = OvfBus::kIde;
    } else if (*type == kScsiController) {
      controller.bus = OvfBus::kScsi;
      controller.scsiModel = ScsiModel(subtype);
    } else if (subtype == "ahci" || subtype == "vmware.sata.ahci") {
      controller.bus = OvfBus::kSata;
    } else if (subtype == "vmware.nvme.controller" || subtype == "nvme") {
      controller.bus = OvfBus::kNvme;
    } else {
      controller.known = false;  // refused only when a drive is on it
    }
    if (controller.known) {
      int& count = controllerCount_[static_cast<int>(controller.bus)];
      controller.number = count++;
      // IDE's two channels are places of their own: the Address says which.
      if (controller.bus == OvfBus::kIde) {
        const std::optional<long long> address = Number(ItemField(item, "Address"));
        if (address && *address < LimitsOf(OvfBus::kIde).controllers) {
          controller.number = static_cast<int>(*address);
        }
      }
      if (count > LimitsOf(controller.bus).controllers) return Fails(OvfFault::kTooMany, id);
      for (const auto& [otherId, other] : controllers_) {
        if (other.known && other.bus == controller.bus && other.number == controller.number) {
          return Fails(OvfFault::kBadDrive, id);
        }
      }
    }
    controllers_[id] = controller;
    return true;
  }

  // VMware's names of the SCSI adapters, as a .vmx writes them.
  static std::string ScsiModel(const std::string& subtype) {
    if (subtype == "lsilogicsas") return "lsisas1068";
    if (subtype == "virtualscsi") return "pvscsi";
    if (subtype == "buslogic") return "buslogic";
    return "lsilogic";
  }

  bool ReadItem(const XmlElement& item) {
    const std::string typeText = ItemField(item, "ResourceType");
    const std::optional<long long> type = Number(typeText);
    if (!type) return Fails(OvfFault::kBadQuantity, typeText);
    switch (*type) {
      case kProcessor:
        return ReadProcessors(item);
      case kMemory:
        return ReadMemory(item);
      case kEthernetAdapter:
        envelope_.networkCards.push_back(LowerAscii(ItemField(item, "ResourceSubType")));
        if (envelope_.networkCards.size() > kMaximumCards) return Fails(OvfFault::kTooMany, "");
        return true;
      case kCdDrive:
      case kDvdDrive:
      case kDiskDrive:
        return ReadDrive(item, *type != kDiskDrive);
      case kUsbController:
        envelope_.usb = true;
        return true;
      case kSoundCard:
        envelope_.sound = true;
        return true;
      default:
        return true;
    }
  }

  std::optional<long long> Quantity(const XmlElement& item) {
    const std::string text = ItemField(item, "VirtualQuantity");
    const std::optional<long long> value = Number(text);
    if (!value || *value > kLargestQuantity) {
      Fail(OvfFault::kBadQuantity, text);
      return std::nullopt;
    }
    return value;
  }

  bool ReadProcessors(const XmlElement& item) {
    envelope_.processors = Quantity(item);
    return envelope_.processors.has_value();
  }

  bool ReadMemory(const XmlElement& item) {
    const std::optional<long long> quantity = Quantity(item);
    if (!quantity) return false;
    const std::string units = ItemField(item, "AllocationUnits");
    const int shift = UnitShift(units);
    if (shift < 0) return Fails(OvfFault::kBadQuantity, units);
    if (shift >= kMegabyteShift) {
      const int up = shift - kMegabyteShift;
      if (up > 40 || *quantity > (kLargestQuantity >> up)) {
        return Fails(OvfFault::kBadQuantity, ItemField(item, "VirtualQuantity"));
      }
      envelope_.memoryMegabytes = *quantity << up;
    } else {
      envelope_.memoryMegabytes = *quantity >> (kMegabyteShift - shift);
    }
    return true;
  }

  bool ReadDrive(const XmlElement& item, bool cd) {
    const std::string parent = ItemField(item, "Parent");
    const auto controller = controllers_.find(parent);
    if (controller == controllers_.end()) return Fails(OvfFault::kUnknownReference, parent);
    if (!controller->second.known || (cd && controller->second.bus == OvfBus::kNvme)) {
      return Fails(OvfFault::kBadDrive, ItemField(item, "ElementName"));
    }
    OvfDrive drive;
    drive.bus = controller->second.bus;
    drive.controller = controller->second.number;
    drive.cd = cd;
    drive.scsiModel = controller->second.scsiModel;
    const std::string resource = ItemField(item, "HostResource");
    if (!cd) {
      const auto disk = diskFile_.find(HostResourceId(resource, "disk"));
      if (disk == diskFile_.end()) return Fails(OvfFault::kUnknownReference, resource);
      drive.file = disk->second;
    } else if (!resource.empty()) {
      // A CD's image, when the appliance brings one; else the drive is empty.
      const auto file = fileIndex_.find(HostResourceId(resource, "file"));
      if (file != fileIndex_.end()) drive.file = file->second;
    }
    if (!PlaceDrive(item, &drive)) return false;
    envelope_.drives.push_back(std::move(drive));
    return true;
  }

  bool Taken(const OvfDrive& drive) const {
    for (const OvfDrive& other : envelope_.drives) {
      if (other.bus == drive.bus && other.controller == drive.controller &&
          other.unit == drive.unit) {
        return true;
      }
    }
    return false;
  }

  // The unit the item names, or the first free one.
  bool PlaceDrive(const XmlElement& item, OvfDrive* drive) {
    const int units = LimitsOf(drive->bus).units;
    const std::string address = ItemField(item, "AddressOnParent");
    if (!address.empty()) {
      const std::optional<long long> unit = Number(address);
      if (!unit || *unit >= units || (drive->bus == OvfBus::kScsi && *unit == kScsiAdapterUnit)) {
        return Fails(OvfFault::kBadDrive, address);
      }
      drive->unit = static_cast<int>(*unit);
      return !Taken(*drive) || Fails(OvfFault::kBadDrive, address);
    }
    for (drive->unit = 0; drive->unit < units; ++drive->unit) {
      if (drive->bus == OvfBus::kScsi && drive->unit == kScsiAdapterUnit) continue;
      if (!Taken(*drive)) return true;
    }
    return Fails(OvfFault::kTooMany, "");
  }

  static constexpr std::size_t kMaximumCards = 10;  // VMware's ethernet0 to ethernet9

  std::string ovf_;
  OvfEnvelope envelope_;
  std::map<std::string, int> fileIndex_;
  std::map<std::string, int> diskFile_;
  std::map<std::string, Controller> controllers_;
  std::map<int, int> controllerCount_;
};

}  // namespace

OvfEnvelope ReadOvfEnvelope(std::string_view text) {
  return EnvelopeReader().Read(text);
}
