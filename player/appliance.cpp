#include "player/appliance.h"

#include <map>
#include <optional>
#include <utility>

#include "platform/ascii_case.h"
#include "platform/path_names.h"
#include "platform/shown_text.h"
#include "player/appliance_manifest.h"
#include "player/host/file_digest.h"
#include "player/qemu_command.h"
#include "player/tar_archive.h"

namespace {

constexpr std::size_t kVolumeDescriptorsAt = 32768;
// The identifiers of ISO 9660 and of UDF's volume recognition sequence.
constexpr std::string_view kVolumeIdentifiers[] = {"CD001", "BEA01", "NSR02", "NSR03", "TEA01"};
constexpr std::size_t kTarBlock = 512;
constexpr std::size_t kReadPiece = 1 << 20;
constexpr char kEnvelopeExtension[] = ".ovf";
constexpr char kManifestExtension[] = ".mf";

// A setting's key for a drive: "sata0:1", "ide1:0".
std::string DrivePlace(const OvfDrive& drive) {
  static constexpr const char* kPrefixes[] = {"ide", "sata", "scsi", "nvme"};
  return kPrefixes[static_cast<int>(drive.bus)] + std::to_string(drive.controller) + ":" +
         std::to_string(drive.unit);
}

std::string ControllerName(const OvfDrive& drive) {
  const std::string place = DrivePlace(drive);
  return place.substr(0, place.find(':'));
}

// VMware's .vmx name of a card model as the envelope spells it.
std::string CardModel(const std::string& subtype) {
  if (subtype == "pcnet32") return "vlance";
  return subtype;
}

const char* TarFaultText(TarFault fault) {
  switch (fault) {
    case TarFault::kReadFailed:
      return "sie l\xE4sst sich nicht lesen.";
    case TarFault::kBadHeader:
      return "das Archiv ist besch\xE4"
             "digt (ein Kopf des tar-Archivs stimmt nicht).";
    case TarFault::kTruncated:
      return "das Archiv ist unvollst\xE4ndig: ein Teil reicht \xFC"
             "ber das Ende der Datei hinaus.";
    case TarFault::kUnsafeName:
      return "ein Teil des Archivs hat einen unzul\xE4ssigen Namen: '";
    case TarFault::kNotRegular:
      return "das Archiv enth\xE4lt eine Verkn\xFCpfung, ein Ger\xE4t oder einen Teil, der nicht "
             "am St\xFC"
             "ck liegt.";
    case TarFault::kDuplicateName:
      return "das Archiv enth\xE4lt zwei Teile des Namens '";
    case TarFault::kTooManyMembers:
      return "das Archiv enth\xE4lt zu viele Teile.";
    case TarFault::kNone:
      break;
  }
  return "";
}

const char* XmlFaultText(XmlFault fault) {
  switch (fault) {
    case XmlFault::kTooLarge:
      return "die OVF-Beschreibung ist zu gro\xDF.";
    case XmlFault::kDoctype:
      return "die OVF-Beschreibung enth\xE4lt eine Dokumenttyp-Deklaration (DOCTYPE).";
    case XmlFault::kEntity:
      return "die OVF-Beschreibung verwendet eigene XML-Entit\xE4ten.";
    case XmlFault::kTooDeep:
    case XmlFault::kTooManyElements:
    case XmlFault::kTooManyAttributes:
      return "die OVF-Beschreibung ist zu tief verschachtelt oder hat zu viele Elemente.";
    case XmlFault::kMalformed:
    case XmlFault::kUnboundPrefix:
    case XmlFault::kNone:
      break;
  }
  return "die OVF-Beschreibung ist kein g\xFCltiges XML.";
}

const char* OvfFaultText(OvfFault fault) {
  switch (fault) {
    case OvfFault::kNotEnvelope:
      return "die Beschreibung ist keine OVF-Beschreibung.";
    case OvfFault::kNoMachine:
      return "sie beschreibt nicht genau eine virtuelle Maschine.";
    case OvfFault::kBadQuantity:
      return "ein Wert der Hardware ist keine g\xFCltige Zahl: '";
    case OvfFault::kUnknownReference:
      return "sie verweist auf eine Festplatte, eine Datei oder einen Controller, den es nicht "
             "gibt: '";
    case OvfFault::kUnsafeName:
      return "sie nennt eine Datei mit unzul\xE4ssigem Namen: '";
    case OvfFault::kPackedFile:
      return "eine Datei ist komprimiert oder in St\xFC"
             "cke geteilt, das kann der Player nicht "
             "lesen: '";
    case OvfFault::kBadDrive:
      return "ein Laufwerk sitzt an einem Platz, den sein Controller nicht hat: '";
    case OvfFault::kTooMany:
      return "sie hat mehr Controller, Laufwerke oder Netzwerkkarten, als eine Maschine haben "
             "kann.";
    case OvfFault::kNotXml:
    case OvfFault::kNone:
      break;
  }
  return "";
}

// Where a file of the appliance lies: in the .ova, or beside the .ovf.
struct FilePlace {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

class ApplianceReader {
 public:
  ApplianceReader(const std::string& path, OpenedKind kind, MachineFileHost& files, char separator)
      : path_(path),
        archive_(kind == OpenedKind::kApplianceArchive),
        files_(files),
        separator_(separator),
        folder_(FolderOfPath(path, separator)) {}

  ApplianceMachine Read() {
    std::size_t held = 0;
    std::uint64_t size = 0;
    if (!Open(path_, &held, &size)) return Failed("sie l\xE4sst sich nicht lesen.");
    std::string envelopeText;
    std::string envelopeName;
    if (archive_) {
      const TarListing listing = ListTarMembers(Reader(held), size);
      if (listing.fault != TarFault::kNone) {
        return Failed(TarFaultText(listing.fault), listing.faultName);
      }
      members_ = listing.members;
      if (members_.empty() || !EndsWithIgnoringAsciiCase(members_[0].name, kEnvelopeExtension)) {
        return Failed(
            "das erste St\xFC"
            "ck des Archivs ist keine OVF-Beschreibung (.ovf).");
      }
      envelopeName = members_[0].name;
      if (!ReadEnvelope(held, members_[0].offset, members_[0].size, &envelopeText)) {
        return result_;
      }
    } else {
      envelopeName = path_.substr(folder_.size());
      if (!ReadEnvelope(held, 0, size, &envelopeText)) return result_;
    }
    const OvfEnvelope envelope = ReadOvfEnvelope(envelopeText);
    if (envelope.fault == OvfFault::kNotXml) return Failed(XmlFaultText(envelope.xml));
    if (envelope.fault != OvfFault::kNone) {
      return Failed(OvfFaultText(envelope.fault), envelope.faultDetail);
    }
    if (!PlaceFiles(envelope) || !CheckManifest(envelope, envelopeName, held)) {
      return result_;
    }
    Describe(envelope);
    return result_;
  }

 private:
  // `reason` an own text; one that ends with a quote gets `name` and the
  // closing quote.
  ApplianceMachine Failed(std::string_view reason, const std::string& name = "") {
    if (!result_.error.empty()) return result_;
    result_.error = ShownText("Die Appliance '") + ShownFileName(path_) +
                    ShownText("' wird nicht gestartet: ") + ShownText(reason);
    if (!reason.empty() && reason.back() == '\'') {
      result_.error += ShownFileName(name) + ShownText("'.");
    }
    result_.error += ShownText(" Nichts gestartet.");
    return result_;
  }
  bool Fails(std::string_view reason, const std::string& name = "") {
    Failed(reason, name);
    return false;
  }

  bool Open(const std::string& path, std::size_t* held, std::uint64_t* size) {
    std::string resolved;
    if (!files_.Resolve(path, &resolved) ||
        files_.OpenForReading(resolved, false, held) != OpenResult::kOpened) {
      return false;
    }
    *size = files_.Size(*held);
    return true;
  }

  ReadBytesAt Reader(std::size_t held) {
    return [this, held](std::uint64_t offset, std::size_t count, std::string* bytes) {
      return files_.ReadAt(held, offset, count, bytes);
    };
  }

  bool ReadEnvelope(std::size_t held, std::uint64_t offset, std::uint64_t size, std::string* text) {
    // A larger one is refused before a byte of it is read.
    if (size > kMaximumXmlBytes) return Fails(XmlFaultText(XmlFault::kTooLarge));
    if (!files_.ReadAt(held, offset, static_cast<std::size_t>(size), text) ||
        text->size() != size) {
      return Fails("sie l\xE4sst sich nicht lesen.");
    }
    return true;
  }

  // Each file a drive uses: a member of the .ova (of the size the envelope
  // gives), or a name beside the .ovf that the plan places later.
  bool PlaceFiles(const OvfEnvelope& envelope) {
    for (const OvfDrive& drive : envelope.drives) {
      if (drive.file < 0) continue;
      const OvfFile& file = envelope.files[static_cast<std::size_t>(drive.file)];
      if (!archive_) continue;
      const TarMember* member = FindTarMember(members_, file.href);
      if (member == nullptr) return Fails("eine Datei fehlt im Archiv: '", file.href);
      if (file.size && *file.size != member->size) {
        return Fails(
            "eine Datei hat nicht die Gr\xF6\xDF"
            "e, die die Beschreibung nennt: '",
            file.href);
      }
      places_[file.href] = {member->offset, member->size};
    }
    return true;
  }

  // The manifest beside the envelope (the same name, ending with .mf): when
  // there is one, it names the envelope and every file a drive uses, and
  // each digest it gives is right.
  bool CheckManifest(const OvfEnvelope& envelope, const std::string& envelopeName,
                     std::size_t held) {
    const std::string manifestName =
        envelopeName.substr(0, envelopeName.size() - std::string_view(kEnvelopeExtension).size()) +
        kManifestExtension;
    std::string text;
    if (archive_) {
      const TarMember* member = FindTarMember(members_, manifestName);
      if (member == nullptr) return true;
      if (member->size > kMaximumManifestBytes ||
          !files_.ReadAt(held, member->offset, static_cast<std::size_t>(member->size), &text)) {
        return Fails("das Manifest ist unlesbar: '", manifestName);
      }
    } else {
      std::string resolved;
      if (!files_.Resolve(folder_ + manifestName, &resolved) ||
          files_.Kind(resolved) == FileKind::kMissing) {
        return true;
      }
      std::size_t manifestHeld = 0;
      std::uint64_t size = 0;
      if (!Open(folder_ + manifestName, &manifestHeld, &size) || size > kMaximumManifestBytes ||
          !files_.ReadAt(manifestHeld, 0, static_cast<std::size_t>(size), &text)) {
        return Fails("das Manifest ist unlesbar: '", manifestName);
      }
    }
    const Manifest manifest = ReadManifest(text);
    if (!manifest.valid) return Fails("das Manifest ist ung\xFCltig: '", manifestName);
    if (FindManifestEntry(manifest, envelopeName) == nullptr) {
      return Fails("das Manifest nennt diese Datei nicht: '", envelopeName);
    }
    for (const OvfDrive& drive : envelope.drives) {
      if (drive.file < 0) continue;
      const std::string& href = envelope.files[static_cast<std::size_t>(drive.file)].href;
      if (FindManifestEntry(manifest, href) == nullptr) {
        return Fails("das Manifest nennt diese Datei nicht: '", href);
      }
    }
    for (const ManifestEntry& entry : manifest.entries) {
      if (!CheckEntry(entry, held)) return false;
    }
    return true;
  }

  bool CheckEntry(const ManifestEntry& entry, std::size_t held) {
    std::size_t fileHeld = held;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    if (archive_) {
      const TarMember* member = FindTarMember(members_, entry.name);
      if (member == nullptr) return Fails("das Manifest nennt eine fehlende Datei: '", entry.name);
      offset = member->offset;
      size = member->size;
    } else if (!Open(folder_ + entry.name, &fileHeld, &size)) {
      return Fails("das Manifest nennt eine fehlende Datei: '", entry.name);
    }
    FileDigest digest(entry.kind);
    std::string piece;
    for (std::uint64_t at = 0; at < size; at += piece.size()) {
      const std::uint64_t left = size - at;
      const std::size_t count = left < kReadPiece ? static_cast<std::size_t>(left) : kReadPiece;
      if (!files_.ReadAt(fileHeld, offset + at, count, &piece) || piece.size() != count) {
        return Fails("eine Datei l\xE4sst sich nicht lesen: '", entry.name);
      }
      if (!digest.Add(piece))
        return Fails(
            "eine Pr\xFC"
            "fsumme l\xE4sst sich nicht berechnen.");
    }
    if (digest.Finish() != entry.digest) {
      return Fails(
          "die Datei ist besch\xE4"
          "digt oder ver\xE4ndert, ihre Pr\xFC"
          "fsumme stimmt "
          "nicht mit dem Manifest \xFC"
          "berein: '",
          entry.name);
    }
    return true;
  }

  void Describe(const OvfEnvelope& envelope) {
    VmxConfig settings = ApplianceSettings(envelope);
    const std::string converted = ConvertVmxToSystemEncoding(settings);
    if (!converted.empty()) {
      result_.error = ShownText(converted);
      return;
    }
    // The names of an .ova's members are looked for as they come out of
    // the description, so that each use finds its member.
    const std::string directory = archive_ ? std::string() : folder_;
    std::map<std::string, FilePlace> byUsePath;
    for (const auto& [href, place] : places_) {
      byUsePath[ResolveVmxPath(href, directory, separator_)] = place;
    }
    result_.machine = DescribeMachine(settings, directory, separator_);
    if (!result_.machine.error.empty()) {
      result_.error = ShownText(result_.machine.error);
      return;
    }
    for (FileUse& use : result_.machine.uses) {
      // The guest writes its disks as on any machine; the writes land in
      // the player's overlay, and the appliance itself is only read.
      use.throwAwayWrites = use.kind == FileUseKind::kDiskImage;
      // A name inside a downloaded disk could point at any of the user's
      // files: the appliance's disks are whole in themselves.
      use.selfContained = use.kind == FileUseKind::kDiskImage;
      if (!archive_) continue;
      const auto place = byUsePath.find(use.path);
      if (place == byUsePath.end()) {
        Failed("eine Datei fehlt im Archiv: '", use.path);
        return;
      }
      use.path = path_;
      use.sliceOffset = place->second.offset;
      use.sliceSize = place->second.size;
    }
  }

  const std::string path_;
  const bool archive_;
  MachineFileHost& files_;
  const char separator_;
  const std::string folder_;
  std::vector<TarMember> members_;
  std::map<std::string, FilePlace> places_;
  ApplianceMachine result_;
};

}  // namespace

OpenedKind KindOfContent(std::string_view start) {
  if (start.size() >= kVolumeDescriptorsAt + 6) {
    const std::string_view identifier = start.substr(kVolumeDescriptorsAt + 1, 5);
    for (const std::string_view known : kVolumeIdentifiers) {
      if (identifier == known) return OpenedKind::kCdImage;
    }
  }
  if (IsTarHeader(start.substr(0, kTarBlock))) return OpenedKind::kApplianceArchive;
  // XML: a byte order mark and blanks at most before the first tag, and an
  // Envelope among the first tags.
  std::string_view text = start.substr(0, 4096);
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first != std::string_view::npos && text[first] == '<' &&
      (text.find("<Envelope") != std::string_view::npos ||
       text.find(":Envelope") != std::string_view::npos)) {
    return OpenedKind::kApplianceEnvelope;
  }
  return OpenedKind::kUnknown;
}

VmxConfig ApplianceSettings(const OvfEnvelope& envelope) {
  VmxConfig config;
  std::map<std::string, std::string>& set = config.settings;
  set[".encoding"] = "UTF-8";
  set["displayname"] = envelope.name;
  if (envelope.memoryMegabytes) set["memsize"] = std::to_string(*envelope.memoryMegabytes);
  if (envelope.processors) set["numvcpus"] = std::to_string(*envelope.processors);
  if (envelope.uefi) set["firmware"] = "efi";
  if (envelope.secureBoot) set["uefi.secureboot.enabled"] = "TRUE";
  for (const OvfDrive& drive : envelope.drives) {
    const std::string controller = ControllerName(drive);
    const std::string place = DrivePlace(drive);
    set[controller + ".present"] = "TRUE";
    if (drive.bus == OvfBus::kScsi) set[controller + ".virtualdev"] = drive.scsiModel;
    set[place + ".present"] = "TRUE";
    set[place + ".devicetype"] = drive.cd ? "cdrom-image" : "disk";
    if (drive.file >= 0) {
      set[place + ".filename"] = envelope.files[static_cast<std::size_t>(drive.file)].href;
    }
  }
  for (std::size_t card = 0; card < envelope.networkCards.size(); ++card) {
    const std::string prefix = "ethernet" + std::to_string(card) + ".";
    set[prefix + "present"] = "TRUE";
    set[prefix + "virtualdev"] = CardModel(envelope.networkCards[card]);
    set[prefix + "connectiontype"] = "nat";
  }
  if (envelope.usb) set["usb.present"] = "TRUE";
  if (envelope.sound) set["sound.present"] = "TRUE";
  return config;
}

ApplianceMachine ReadAppliance(const std::string& path, OpenedKind kind, MachineFileHost& files,
                               char separator) {
  return ApplianceReader(path, kind, files, separator).Read();
}
