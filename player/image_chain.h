// The chain of files behind a disk image, read by the player itself: qcow2
// backing files and external data files, a vmdk's parent and its flat
// extent. Each name is placed by the caller before anything opens it, and
// QEMU gets the chain as explicit -blockdev nodes, so that it never opens a
// name written inside an image. Pure logic: the caller opens and reads the
// files (ImageFiles).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "player/image_readers.h"

// True for a name QEMU would take as a protocol or as inline JSON options
// ("nbd:...", "json:{...}", "http:..."): its first ':' comes before any
// separator ('/', and '\\' when `separator` is '\\'). A Windows drive
// ("c:...") is none.
bool NamesProtocol(std::string_view name, char separator);

// How a file came into the chain.
enum class ImageLink { kTop, kBacking, kDataFile, kExtent };

// What the reader asks of its caller (the plan): place a file and open it.
class ImageFiles {
 public:
  enum class Opened { kReadable, kNotYet, kRefused };
  virtual ~ImageFiles() = default;
  // `path`: the name as written, already taken in the folder of the image
  // that names it. `level`: 0 for the top image and its own data file or
  // extent (written when the disk is), n for the n-th backing layer and
  // its files (only read). The caller resolves the name, refuses what may
  // not be used (kRefused: it keeps its own text), opens it for reading
  // when it may be read now, or answers kNotYet when it may be used but not
  // read yet (before the user agreed). `file` gets the caller's number of
  // the file (the same resolved file, the same number), `resolved` its
  // resolved path: the names the file holds are taken in its folder.
  virtual Opened Open(const std::string& path, ImageLink link, int level, std::size_t* file,
                      std::string* resolved) = 0;
  // Up to `count` bytes at `offset` of an opened file (fewer at its end);
  // false when reading fails.
  virtual bool ReadAt(std::size_t file, std::uint64_t offset, std::size_t count,
                      std::string* bytes) = 0;
  virtual std::uint64_t Size(std::size_t file) = 0;
};

// One extent of a vmdk descriptor that QEMU reads as the player writes it.
struct ImageExtent {
  int node = -1;  // the extent's file in the chain
  VmdkExtent line;
};

// One file of the chain. Indices name other nodes; -1 for none.
struct ImageNode {
  std::size_t file = 0;
  ImageLink link = ImageLink::kTop;
  int level = 0;
  ImageFormat format = ImageFormat::kRaw;  // raw for data files and flat extents
  // Opened as kNotYet: its content, and so the names it holds, unread.
  bool pending = false;
  int backing = -1;
  int dataFile = -1;
  // A vmdk text descriptor's one flat extent: QEMU gets that file as raw
  // bytes from `extentOffset`, `extentSize` long; the descriptor itself is
  // read by the player only.
  int extent = -1;
  std::uint64_t extentOffset = 0;
  std::uint64_t extentSize = 0;
  // Any other vmdk descriptor (several extents, sparse extents, a parent):
  // QEMU reads a copy the player writes, naming only these extents.
  std::vector<ImageExtent> extents;
  VmdkDescriptor descriptor;
  // QEMU can only read this file (compressed or otherwise not writable);
  // a disk written through it needs an overlay.
  bool readOnly = false;
  // The guest's size of the disk this layer holds, in bytes.
  std::uint64_t virtualSize = 0;
  // The layer is the file's bytes from `sliceOffset`, `sliceSize` long (an
  // appliance's disk inside its .ova); 0/0: the whole file.
  std::uint64_t sliceOffset = 0;
  std::uint64_t sliceSize = 0;
};

struct ImageChain {
  std::vector<ImageNode> nodes;  // nodes[0] the top, when it could be placed
  // Empty, or the reader's own German text (Windows-1252) for the refusal,
  // to be followed by `refusedName` and a closing quote.
  std::string refusal;
  std::string refusedName;
  // The caller refused `refusedName` (Open gave kRefused): it shows its own
  // text; `refusal` stays empty.
  bool refusedByCaller = false;

  bool Refused() const { return refusedByCaller || !refusal.empty(); }
  // Some file may be used but was not read yet: read the chain again once
  // the user agreed (deeper names may then come to light).
  bool Pending() const;
};

// The chain below `topPath` (the top image's path as the caller places it),
// read level by level with the image readers. Refused: a name with a
// protocol, a NUL byte or too long for its header, more than 16 backing
// levels, a file already in the chain, whatever a reader refuses, a sparse
// extent that is no sparse file of its own, a vmdk parent without data of
// its own.
ImageChain ReadImageChain(const std::string& topPath, ImageFiles& files, char separator);

// The guest writes the top layer and the files of its own (level 0) when
// the disk is written; the layers below are only read.
constexpr bool LayerWritten(int level, bool diskWritten) {
  return diskWritten && level == 0;
}
