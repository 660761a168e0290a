// The files a disk image names besides itself, from qemu-img's report, and
// the one extent of a flat VMware disk from its descriptor. Pure logic: the
// caller runs qemu-img and reads the descriptor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A file an image refers to: a backing file (read), a vmdk extent or a
// qcow2 data file (written when its image is written).
struct ImagePart {
  std::string path;
  bool written = false;
  bool operator==(const ImagePart& other) const {
    return path == other.path && written == other.written;
  }
};

struct ImageLayout {
  std::vector<ImagePart> parts;  // every file but the image itself, in the report's order
  bool monolithicFlat = false;   // a vmdk descriptor of one FLAT extent and no parent
};

// The layout from `qemu-img info --output=json --backing-chain` of `image`
// (the path qemu-img was given). Names the report gives relative are taken
// in the folder of the image that names them (`separator` divides folders).
// Nothing when the report is unreadable or its chain ends at a backing file
// it could not follow.
std::optional<ImageLayout> ReadImageLayout(std::string_view report, const std::string& image,
                                           char separator);

// The extent of a monolithicFlat descriptor: its file (as written), and its
// place in that file, in bytes.
struct FlatExtent {
  std::string file;
  bool written = false;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// Nothing unless the descriptor holds exactly one extent line and that one
// is FLAT (RW or RDONLY) with a size that fits.
std::optional<FlatExtent> ReadFlatExtent(std::string_view descriptor);

// The files that the first bytes of an image of `format` ("qcow2" or
// "vmdk") name, as written: a qcow2's backing file and external data file,
// a vmdk descriptor's extents and parent (also the descriptor embedded in a
// sparse vmdk). They are placed before qemu-img opens them. Nothing when
// the header is broken or names something beyond `start`; an empty list
// when `start` is not of that format at all (qemu-img then refuses it).
std::optional<std::vector<std::string>> NamesInImageStart(std::string_view start,
                                                          const std::string& format);

// True for a name QEMU would take as a protocol ("nbd://...", "json:{...}",
// "http:..."): a word of two or more letters, digits, '+', '.' or '-'
// before a colon. A Windows drive ("c:") is one letter and no protocol.
bool HasProtocolPrefix(std::string_view name);
