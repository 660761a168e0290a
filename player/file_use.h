// The plan's own types: a file the machine uses and how. Nothing of QEMU
// and nothing of the host: every other unit of the player may include it.
#pragma once

#include <cstdint>
#include <string>

enum class FileAccess {
  kRead,
  kWrite,   // read and written in place
  kAppend,  // only appended to; made when missing
};

enum class FileUseKind {
  kDiskImage,          // a regular file; a qcow2 or vmdk may name further files
  kCdImage,            // read only, as raw bytes; a regular file or a CD drive
  kSerialOutput,       // appended to; a regular file, or missing (then made)
  kFirmwareVariables,  // the machine's UEFI variable store, the player's own file
};

// A file the machine uses, as the configuration names it (relative names
// already taken in the .vmx's folder).
struct FileUse {
  std::string path;
  FileAccess access = FileAccess::kRead;
  FileUseKind kind = FileUseKind::kDiskImage;
  // What the file feeds: the node or device QEMU knows it by.
  std::string feeds;
  // The image lies inside a larger file (an appliance's disk inside its .ova): it starts at
  // sliceOffset and is sliceSize long. 0/0: the whole file.
  std::uint64_t sliceOffset = 0;
  std::uint64_t sliceSize = 0;
  // The guest's writes go to a throw-away overlay; the file itself is only read.
  bool throwAwayWrites = false;
  // The image may name no further file (an appliance's disk: nothing outside
  // the appliance is opened, whatever its disk says).
  bool selfContained = false;

  bool operator==(const FileUse& other) const = default;
};
