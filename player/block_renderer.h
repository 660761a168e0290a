// The one place that writes QEMU's -blockdev syntax and decides which
// layer of an image the guest writes. It takes the plan's decided uses and
// chains, asks the descriptor store only what QEMU names for a file, and
// renders every image as explicit nodes, so that QEMU opens no name written
// inside an image.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "player/file_hand_over.h"
#include "player/image_chain.h"
#include "player/machine_files.h"
#include "player/qemu_arguments.h"

// The -blockdev arguments of a raw file: its protocol node `nodeName`-file
// (`driver` "file", or "host_cdrom" for a CD drive) and the raw format node
// `nodeName` on it.
std::vector<std::string> RawBlockNodes(const std::string& fileName, const std::string& nodeName,
                                       bool readOnly, const std::string& driver);

// A file QEMU gets for a read chain, and whether it is written.
struct ImageFileUse {
  std::size_t file = 0;
  bool written = false;
  bool operator==(const ImageFileUse& other) const = default;
};

// The files that BlockdevArguments hands to QEMU (a vmdk descriptor is not
// one of them: QEMU gets the player's copy); a read-only disk writes none,
// nor does a layer QEMU can only read. Empty for a chain that is refused or
// pending.
std::vector<ImageFileUse> QemuFileUses(const ImageChain& chain, bool readOnly);

// True when the guest writes the chain but QEMU can only read the layer it
// would write: the disk needs an overlay.
bool NeedsOverlay(const ImageChain& chain);

// The -blockdev arguments ("-blockdev", value, ...) of a read chain, deepest
// layer first; the top's format node is `nodeName`, the others
// "<nodeName>-<n>" and "<nodeName>-<n>-file". `fileName(file)` is what QEMU
// opens for a file (/dev/fdset/N on Linux, the placed name on Windows),
// `copyName(node)` the player's copy of a node's vmdk descriptor.
// Every layer whose header names a backing file gets it as `backing=` (QEMU
// would otherwise open the header's name itself); a layer whose header
// names none gets no `backing`. Empty for a chain that is refused or
// pending.
std::vector<std::string> BlockdevArguments(const ImageChain& chain, const std::string& nodeName,
                                           const std::function<std::string(std::size_t)>& fileName,
                                           bool readOnly,
                                           const std::function<std::string(int)>& copyName = {});

// A file the player writes for a use before QEMU starts.
struct PlayerImage {
  enum class Kind {
    kDescriptor,  // the vmdk descriptor QEMU reads for chain node `node`
    kOverlay,     // the qcow2 overlay that takes the guest's writes
  };
  Kind kind = Kind::kDescriptor;
  std::size_t use = 0;
  int node = -1;
  // QEMU writes it (the overlay; a descriptor whose CID QEMU updates).
  bool written = false;
  std::size_t file = kNoFile;  // the store's number once it is handed over
};

// Renders the plan's uses with the names the store hands out.
class BlockRenderer : public FileRendering {
 public:
  BlockRenderer(const MachineFilePlan& plan, const FileHandOver& store);

  // Every file of the plan that QEMU opens, once, with the most any of its
  // uses needs; what the store opens for QEMU.
  std::vector<HandedFile> FilesForQemu() const;

  // What the player writes before QEMU starts, deepest descriptors first.
  const std::vector<PlayerImage>& PlayerImages() const { return images_; }
  // The bytes of image `image`; a descriptor names what the store hands
  // out for each extent, so the store must have opened the plan's files.
  // False when they cannot be written (see WriteVmdkDescriptor).
  bool ImageBytes(std::size_t image, std::string* bytes) const;
  // The store's number of image `image` once it is written and handed over.
  void HandedOver(std::size_t image, std::size_t file) { images_[image].file = file; }
  // The guest's writes to some disk are thrown away at the end.
  bool DiscardsWrites() const;

  std::vector<std::string> Preamble() const override;
  std::string FileName(std::size_t use) const override;
  std::vector<std::string> BlockNodes(std::size_t use, const std::string& nodeName,
                                      bool readOnly) const override;

 private:
  bool Overlaid(std::size_t use) const;
  std::size_t FileOfImage(PlayerImage::Kind kind, std::size_t use, int node) const;

  const MachineFilePlan& plan_;
  const FileHandOver& store_;
  std::vector<PlayerImage> images_;
};
