#include "player/block_renderer.h"

#include <algorithm>

#include "player/image_writers.h"

namespace {

// QEMU's raw driver takes a part of a file as the whole image.
std::string SliceNode(const std::string& name, const std::string& file, std::uint64_t offset,
                      std::uint64_t size, bool readOnly) {
  return "driver=raw,node-name=" + EscapeQemuOptionValue(name) +
         ",file=" + EscapeQemuOptionValue(file) + ",offset=" + std::to_string(offset) +
         ",size=" + std::to_string(size) + (readOnly ? ",read-only=on" : "");
}

// Whether the guest writes a node of the chain: the layer's place in it,
// and whether QEMU can write the layer at all.
bool NodeWritten(const ImageNode& node, bool readOnly) {
  return LayerWritten(node.level, !readOnly) && !node.readOnly;
}

class BlockdevRenderer {
 public:
  BlockdevRenderer(const ImageChain& chain, const std::string& nodeName,
                   const std::function<std::string(std::size_t)>& fileName,
                   const std::function<std::string(int)>& copyName, bool readOnly)
      : chain_(chain),
        nodeName_(nodeName),
        fileName_(fileName),
        copyName_(copyName),
        readOnly_(readOnly) {}

  std::vector<std::string> Render() {
    RenderLayer(0);
    return arguments_;
  }

 private:
  std::string NodeName(int index) const {
    return index == 0 ? nodeName_ : nodeName_ + "-" + std::to_string(index);
  }

  void Add(const std::string& value) {
    arguments_.push_back("-blockdev");
    arguments_.push_back(value);
  }

  // A protocol node named after node `index` over `fileName`; its name.
  std::string RenderFile(int index, const std::string& fileName, bool readOnly) {
    const std::string name = NodeName(index) + "-file";
    Add("driver=file,node-name=" + EscapeQemuOptionValue(name) +
        ",filename=" + EscapeQemuOptionValue(fileName) + (readOnly ? ",read-only=on" : ""));
    return name;
  }

  // A raw node over the part of `file` that holds the layer; its name.
  std::string RenderSlice(const std::string& file, std::uint64_t offset, std::uint64_t size,
                          bool readOnly) {
    const std::string name = file + "-slice";
    Add(SliceNode(name, file, offset, size, readOnly));
    return name;
  }

  std::string FileOfNode(int index) const {
    return fileName_(chain_.nodes[static_cast<std::size_t>(index)].file);
  }

  void RenderLayer(int index) {
    const ImageNode& node = chain_.nodes[static_cast<std::size_t>(index)];
    if (node.backing >= 0) RenderLayer(node.backing);
    const bool readOnly = !NodeWritten(node, readOnly_);
    const std::string readOnlyOption = readOnly ? ",read-only=on" : "";
    const std::string name = EscapeQemuOptionValue(NodeName(index));
    if (node.extent >= 0) {
      const std::string extent = RenderFile(node.extent, FileOfNode(node.extent), readOnly);
      Add("driver=raw,node-name=" + name + ",file=" + EscapeQemuOptionValue(extent) +
          ",offset=" + std::to_string(node.extentOffset) +
          ",size=" + std::to_string(node.extentSize) + readOnlyOption);
      return;
    }
    std::string dataFile;
    if (node.dataFile >= 0)
      dataFile = RenderFile(node.dataFile, FileOfNode(node.dataFile), readOnly);
    // A descriptor of extents reaches QEMU as the player's copy.
    std::string file =
        RenderFile(index, node.extents.empty() ? FileOfNode(index) : copyName_(index), readOnly);
    if (node.sliceSize != 0) file = RenderSlice(file, node.sliceOffset, node.sliceSize, readOnly);
    std::string value = "driver=";
    value += node.format == ImageFormat::kQcow2  ? "qcow2"
             : node.format == ImageFormat::kVmdk ? "vmdk"
                                                 : "raw";
    value += ",node-name=" + name + ",file=" + EscapeQemuOptionValue(file);
    if (node.backing >= 0) value += ",backing=" + EscapeQemuOptionValue(NodeName(node.backing));
    if (!dataFile.empty()) value += ",data-file=" + EscapeQemuOptionValue(dataFile);
    Add(value + readOnlyOption);
  }

  const ImageChain& chain_;
  const std::string& nodeName_;
  const std::function<std::string(std::size_t)>& fileName_;
  const std::function<std::string(int)>& copyName_;
  const bool readOnly_;
  std::vector<std::string> arguments_;
};

bool Usable(const ImageChain& chain) {
  return !chain.Refused() && !chain.Pending() && !chain.nodes.empty();
}

}  // namespace

std::vector<std::string> RawBlockNodes(const std::string& fileName, const std::string& nodeName,
                                       bool readOnly, const std::string& driver) {
  const std::string access = readOnly ? ",read-only=on" : "";
  return {"-blockdev",
          "driver=" + driver + ",node-name=" + nodeName +
              "-file,filename=" + EscapeQemuOptionValue(fileName) + access,
          "-blockdev", "driver=raw,node-name=" + nodeName + ",file=" + nodeName + "-file" + access};
}

std::vector<ImageFileUse> QemuFileUses(const ImageChain& chain, bool readOnly) {
  std::vector<ImageFileUse> uses;
  if (!Usable(chain)) return uses;
  for (const ImageNode& node : chain.nodes) {
    // An extent is handed over with its descriptor, which QEMU never gets.
    if (node.link == ImageLink::kExtent) continue;
    const bool written = NodeWritten(node, readOnly);
    if (node.extent >= 0) {
      uses.push_back({chain.nodes[static_cast<std::size_t>(node.extent)].file, written});
    } else if (!node.extents.empty()) {
      for (const ImageExtent& extent : node.extents) {
        uses.push_back({chain.nodes[static_cast<std::size_t>(extent.node)].file, written});
      }
    } else {
      uses.push_back({node.file, written});
    }
  }
  return uses;
}

bool NeedsOverlay(const ImageChain& chain) {
  return Usable(chain) &&
         std::any_of(chain.nodes.begin(), chain.nodes.end(), [](const ImageNode& node) {
           return LayerWritten(node.level, true) && node.readOnly;
         });
}

std::vector<std::string> BlockdevArguments(const ImageChain& chain, const std::string& nodeName,
                                           const std::function<std::string(std::size_t)>& fileName,
                                           bool readOnly,
                                           const std::function<std::string(int)>& copyName) {
  if (!Usable(chain)) return {};
  return BlockdevRenderer(chain, nodeName, fileName, copyName, readOnly).Render();
}

BlockRenderer::BlockRenderer(const MachineFilePlan& plan, const FileHandOver& store)
    : plan_(plan), store_(store) {
  for (std::size_t use = 0; use < plan_.uses().size(); ++use) {
    const ImageChain* chain = plan_.ChainOfUse(use);
    if (chain == nullptr || !Usable(*chain)) continue;
    const bool written = plan_.uses()[use].access != FileAccess::kRead;
    const bool overlay = written && (plan_.uses()[use].throwAwayWrites || NeedsOverlay(*chain));
    // Deepest first, so that a copy is handed over before its child names
    // it; QEMU writes a copy's CID when it writes the layer.
    for (int node = static_cast<int>(chain->nodes.size()) - 1; node >= 0; --node) {
      const ImageNode& layer = chain->nodes[static_cast<std::size_t>(node)];
      if (layer.extents.empty()) continue;
      images_.push_back({PlayerImage::Kind::kDescriptor, use, node,
                         !overlay && NodeWritten(layer, !written), kNoFile});
    }
    if (overlay) images_.push_back({PlayerImage::Kind::kOverlay, use, -1, true, kNoFile});
  }
}

std::size_t BlockRenderer::FileOfImage(PlayerImage::Kind kind, std::size_t use, int node) const {
  for (const PlayerImage& image : images_) {
    if (image.kind == kind && image.use == use && image.node == node) return image.file;
  }
  return kNoFile;
}

bool BlockRenderer::Overlaid(std::size_t use) const {
  return std::any_of(images_.begin(), images_.end(), [use](const PlayerImage& image) {
    return image.kind == PlayerImage::Kind::kOverlay && image.use == use;
  });
}

bool BlockRenderer::ImageBytes(std::size_t image, std::string* bytes) const {
  const PlayerImage& wanted = images_.at(image);
  const ImageChain& chain = *plan_.ChainOfUse(wanted.use);
  if (wanted.kind == PlayerImage::Kind::kOverlay) {
    return WriteQcow2Overlay(chain.nodes.front().virtualSize, bytes);
  }
  const ImageNode& node = chain.nodes[static_cast<std::size_t>(wanted.node)];
  std::vector<std::string> names;
  for (const ImageExtent& extent : node.extents) {
    names.push_back(store_.NameOfFile(chain.nodes[static_cast<std::size_t>(extent.node)].file));
  }
  return WriteVmdkDescriptor(node.descriptor, names, bytes);
}

bool BlockRenderer::DiscardsWrites() const {
  return std::any_of(images_.begin(), images_.end(), [](const PlayerImage& image) {
    return image.kind == PlayerImage::Kind::kOverlay;
  });
}

std::vector<HandedFile> BlockRenderer::FilesForQemu() const {
  std::vector<HandedFile> files;
  auto need = [&files](std::size_t file, FileAccess access) {
    for (HandedFile& handed : files) {
      if (handed.file != file) continue;
      if (access != FileAccess::kRead) handed.access = access;
      return;
    }
    files.push_back({file, access});
  };
  for (std::size_t use = 0; use < plan_.uses().size(); ++use) {
    if (const ImageChain* chain = plan_.ChainOfUse(use)) {
      const bool readOnly = plan_.uses()[use].access == FileAccess::kRead || Overlaid(use);
      for (const ImageFileUse& file : QemuFileUses(*chain, readOnly)) {
        need(file.file, file.written ? FileAccess::kWrite : FileAccess::kRead);
      }
    } else if (plan_.FileOfUse(use) != kNoFile) {
      need(plan_.FileOfUse(use), plan_.uses()[use].access);
    }
  }
  return files;
}

std::vector<std::string> BlockRenderer::Preamble() const {
  return store_.Preamble();
}

std::string BlockRenderer::FileName(std::size_t use) const {
  return store_.NameOfFile(plan_.FileOfUse(use));
}

std::vector<std::string> BlockRenderer::BlockNodes(std::size_t use, const std::string& nodeName,
                                                   bool readOnly) const {
  if (const ImageChain* chain = plan_.ChainOfUse(use)) {
    const std::size_t overlay = FileOfImage(PlayerImage::Kind::kOverlay, use, -1);
    const bool throwAway = !readOnly && Overlaid(use);
    const std::string chainName = throwAway ? nodeName + "-base" : nodeName;
    std::vector<std::string> nodes = BlockdevArguments(
        *chain, chainName, [this](std::size_t file) { return store_.NameOfFile(file); },
        readOnly || throwAway,
        [this, use](int node) {
          return store_.NameOfFile(FileOfImage(PlayerImage::Kind::kDescriptor, use, node));
        });
    if (!throwAway) return nodes;
    // The guest writes into the player's overlay; the chain stays as it is.
    const std::string file = nodeName + "-file";
    nodes.insert(nodes.end(), {"-blockdev",
                               "driver=file,node-name=" + EscapeQemuOptionValue(file) +
                                   ",filename=" + EscapeQemuOptionValue(store_.NameOfFile(overlay)),
                               "-blockdev",
                               "driver=qcow2,node-name=" + EscapeQemuOptionValue(nodeName) +
                                   ",file=" + EscapeQemuOptionValue(file) +
                                   ",backing=" + EscapeQemuOptionValue(chainName)});
    return nodes;
  }
  const std::size_t file = plan_.FileOfUse(use);
  const FileUse& used = plan_.uses()[use];
  if (used.sliceSize != 0) {
    // A CD inside an appliance: its part of the file, only read.
    const std::string protocol = nodeName + "-file";
    return {"-blockdev",
            "driver=file,node-name=" + EscapeQemuOptionValue(protocol) +
                ",filename=" + EscapeQemuOptionValue(store_.NameOfFile(file)) + ",read-only=on",
            "-blockdev", SliceNode(nodeName, protocol, used.sliceOffset, used.sliceSize, true)};
  }
  const bool drive =
      file < plan_.files().size() && plan_.files()[file].fileKind == FileKind::kBlockDevice;
  return RawBlockNodes(store_.NameOfFile(file), nodeName, readOnly, drive ? "host_cdrom" : "file");
}
