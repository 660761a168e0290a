// An appliance's OVF envelope (DMTF OVF 1.x and 2.x, as VMware and
// VirtualBox export it), read into the machine it describes: its name,
// memory, processors, firmware, the disks and CD drives on their
// controllers, and the network cards. The files it names are only named
// here; the caller finds them inside the .ova or beside the .ovf. Pure
// logic over the envelope's text, through the strict XML reader.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "player/xml_document.h"

enum class OvfBus { kIde, kSata, kScsi, kNvme };

// A file of the References section.
struct OvfFile {
  std::string id;
  std::string href;  // a plain relative name: no "..", no protocol, no absolute path
  std::optional<std::uint64_t> size;

  bool operator==(const OvfFile& other) const = default;
};

struct OvfDrive {
  OvfBus bus = OvfBus::kIde;
  int controller = 0;  // numbered per bus in the order of the controllers
  int unit = 0;
  bool cd = false;
  // The File behind the drive (a disk's through its DiskSection entry);
  // -1 for an empty CD drive.
  int file = -1;
  std::string scsiModel;  // VMware's name of a SCSI controller's model

  bool operator==(const OvfDrive& other) const = default;
};

enum class OvfFault {
  kNone,
  kNotXml,            // `xml` says why
  kNotEnvelope,       // the root is no OVF Envelope
  kNoMachine,         // no VirtualSystem, or a collection of several
  kBadQuantity,       // memory or processors not a plain number in known units
  kUnknownReference,  // a disk, file or controller named but not there
  kUnsafeName,        // a file's href that is not a plain relative name
  kPackedFile,        // a file compressed or in chunks
  kBadDrive,          // a drive on a place its controller does not have, or twice
  kTooMany,           // more controllers or drives than VMware gives a machine
};

struct OvfEnvelope {
  OvfFault fault = OvfFault::kNone;
  XmlFault xml = XmlFault::kNone;
  std::string faultDetail;  // the value or name the fault is about (may be empty)

  std::string name;
  std::optional<long long> memoryMegabytes;
  std::optional<long long> processors;
  bool uefi = false;
  bool secureBoot = false;
  std::vector<OvfFile> files;
  std::vector<OvfDrive> drives;
  std::vector<std::string> networkCards;  // VMware's model name of each card
  bool usb = false;
  bool sound = false;
};

OvfEnvelope ReadOvfEnvelope(std::string_view text);
