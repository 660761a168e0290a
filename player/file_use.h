// A file the machine would use, as the mapping names it: the list of these
// is what the player decides on (player/machine_files) before anything
// starts.
#pragma once

#include <cstddef>
#include <string>

enum class FileAccess { kRead, kWrite };

enum class FileUseKind {
  kDiskImage,          // read and written; a regular file
  kCdImage,            // read only, as raw bytes; a regular file or a CD drive
  kImagePart,          // named by an image: a backing file, an extent, a data file
  kSerialOutput,       // appended to; a regular file, or missing (then created)
  kFirmwareVariables,  // the machine's UEFI variable store beside the .vmx
  kTpmStateFolder,     // a folder the player makes for swtpm; QEMU never opens it
};

inline constexpr std::size_t kNoArgument = static_cast<std::size_t>(-1);

struct FileUse {
  std::string path;
  FileAccess access = FileAccess::kRead;
  FileUseKind kind = FileUseKind::kDiskImage;
  // The argument that names the file as its "file=" or "path=" value;
  // kNoArgument when QEMU gets no name of it.
  std::size_t argument = kNoArgument;

  bool operator==(const FileUse& other) const {
    return path == other.path && access == other.access && kind == other.kind &&
           argument == other.argument;
  }
};
