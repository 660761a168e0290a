// Readers of disk image headers, each a pure function over a bounded read
// callback: they ask for at most what their own limits allow, never past
// the file's size, and say what the header names and what QEMU 7.2 would
// make of it. They open nothing; the chain walk places what they name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Up to `count` bytes at `offset` (fewer at the file's end); false when
// reading fails.
using ReadImageBytes =
    std::function<bool(std::uint64_t offset, std::size_t count, std::string* bytes)>;

enum class ImageFormat { kRaw, kQcow2, kVmdk };

// By content only: qcow2 magic "QFI\xFB", vmdk sparse magic "KDMV", a vmdk
// text descriptor ("# Disk DescriptorFile" at the start); raw for anything
// else. A disk's format never comes from its name.
ImageFormat FormatOfImageStart(std::string_view start);

// What a qcow2 header says. `refusal` is empty, or the own German text
// (Windows-1252) of why the player does not hand the image to QEMU.
struct Qcow2Header {
  const char* refusal = nullptr;
  std::uint64_t virtualSize = 0;
  std::optional<std::string> backing;
  std::string backingFormat;
  // The image keeps its data in a file of its own; `dataFile` its name as
  // the header writes it, when it writes one.
  bool hasDataFile = false;
  std::optional<std::string> dataFile;
};

// The header as QEMU 7.2 reads it (qcow2_do_open, qcow2_read_extensions):
// version 2 or 3, cluster size, the backing name and its format, the
// external data file. Refused besides: encryption (AES or LUKS), an
// incompatible feature QEMU 7.2 does not know, a compression type it does
// not know, an image marked corrupt; and where QEMU would read past the end
// or cut a name at a NUL byte.
Qcow2Header ReadQcow2Header(const ReadImageBytes& read, std::uint64_t size);

// One extent line: RW|RDONLY|NOACCESS <sectors> <type> "<file>" [<offset>].
struct VmdkExtent {
  std::string access;
  std::uint64_t sectors = 0;
  std::string type;
  std::string file;
  std::uint64_t offset = 0;  // in sectors; FLAT only

  bool operator==(const VmdkExtent& other) const = default;
};

struct VmdkDescriptor {
  const char* refusal = nullptr;
  std::string createType;
  std::string cid = "ffffffff";
  std::string parentCid = "ffffffff";
  std::optional<std::string> parent;  // parentFileNameHint
  std::vector<VmdkExtent> extents;
};

// A text descriptor (the file itself, or embedded in a sparse file). Refused:
// extent types QEMU cannot read as data (raw devices, ZERO), extents it
// would skip (NOACCESS) or that break its syntax, more than 64 extents,
// a createType QEMU 7.2 does not open.
VmdkDescriptor ReadVmdkDescriptorText(std::string_view text);

// The largest text descriptor the player reads.
inline constexpr std::uint64_t kVmdkMaximumDescriptorBytes = 64 * 1024;

struct VmdkSparseHeader {
  const char* refusal = nullptr;
  std::uint64_t capacitySectors = 0;
  // QEMU can only read it: compressed grains (streamOptimized) or a
  // version 3 header.
  bool readOnly = false;
  // A header without capacity whose embedded descriptor names the extents.
  std::optional<VmdkDescriptor> embedded;
  std::optional<std::string> parent;  // what QEMU takes as the parent's name
};

// A hosted sparse file (magic "KDMV"): its header, the descriptor QEMU
// reads from it, and the parent name where QEMU looks for it.
VmdkSparseHeader ReadSparseVmdk(const ReadImageBytes& read, std::uint64_t size);

// Own texts (Windows-1252) of the refusals, each followed by the file's
// name in quotes.
inline constexpr const char* kImageBrokenText =
    "Der Kopf des Abbilds ist besch\xE4"
    "digt oder abgeschnitten: '";
inline constexpr const char* kImageUnreadableText = "Das Abbild kann nicht gelesen werden: '";
inline constexpr const char* kImageFormatText =
    "Das Abbild hat ein Format, das der Player nicht nutzt: '";
inline constexpr const char* kImageBadNameText =
    "Das Abbild nennt einen unbrauchbaren Dateinamen: '";
inline constexpr const char* kVmdkDescriptorTooLargeText =
    "Die Beschreibung des VMDK-Abbilds ist zu gro\xDF: '";
