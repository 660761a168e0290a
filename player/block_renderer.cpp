#include "player/block_renderer.h"

#include <algorithm>

namespace {

class BlockdevRenderer {
 public:
  BlockdevRenderer(const ImageChain& chain, const std::string& nodeName,
                   const std::function<std::string(std::size_t)>& fileName, bool readOnly)
      : chain_(chain), nodeName_(nodeName), fileName_(fileName), readOnly_(readOnly) {}

  std::vector<std::string> Render() {
    RenderLayer(0);
    return arguments_;
  }

 private:
  std::string NodeName(int index) const {
    return index == 0 ? nodeName_ : nodeName_ + "-" + std::to_string(index);
  }

  bool ReadOnly(const ImageNode& node) const { return !LayerWritten(node.level, !readOnly_); }

  void Add(const std::string& value) {
    arguments_.push_back("-blockdev");
    arguments_.push_back(value);
  }

  // A protocol node over the file of node `index`; its name.
  std::string RenderFile(int index, bool readOnly) {
    const ImageNode& node = chain_.nodes[static_cast<std::size_t>(index)];
    const std::string name = NodeName(index) + "-file";
    Add("driver=file,node-name=" + EscapeQemuOptionValue(name) + ",filename=" +
        EscapeQemuOptionValue(fileName_(node.file)) + (readOnly ? ",read-only=on" : ""));
    return name;
  }

  void RenderLayer(int index) {
    const ImageNode& node = chain_.nodes[static_cast<std::size_t>(index)];
    if (node.backing >= 0) RenderLayer(node.backing);
    const bool readOnly = ReadOnly(node);
    const std::string readOnlyOption = readOnly ? ",read-only=on" : "";
    const std::string name = EscapeQemuOptionValue(NodeName(index));
    if (node.extent >= 0) {
      const bool extentReadOnly = readOnly || node.extentReadOnly;
      const std::string extent = RenderFile(node.extent, extentReadOnly);
      Add("driver=raw,node-name=" + name + ",file=" + EscapeQemuOptionValue(extent) +
          ",offset=" + std::to_string(node.extentOffset) +
          ",size=" + std::to_string(node.extentSize) + (extentReadOnly ? ",read-only=on" : ""));
      return;
    }
    std::string dataFile;
    if (node.dataFile >= 0) dataFile = RenderFile(node.dataFile, readOnly);
    const std::string file = RenderFile(index, readOnly);
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
  const bool readOnly_;
  std::vector<std::string> arguments_;
};

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
  if (chain.Refused() || chain.Pending() || chain.nodes.empty()) return uses;
  for (const ImageNode& node : chain.nodes) {
    // An extent is handed over with its descriptor, which QEMU never gets.
    if (node.link == ImageLink::kExtent) continue;
    const bool written = LayerWritten(node.level, !readOnly);
    if (node.extent >= 0) {
      const std::size_t extent = chain.nodes[static_cast<std::size_t>(node.extent)].file;
      uses.push_back({extent, written && !node.extentReadOnly});
    } else {
      uses.push_back({node.file, written});
    }
  }
  return uses;
}

std::vector<std::string> BlockdevArguments(const ImageChain& chain, const std::string& nodeName,
                                           const std::function<std::string(std::size_t)>& fileName,
                                           bool readOnly) {
  if (chain.Refused() || chain.Pending() || chain.nodes.empty()) return {};
  return BlockdevRenderer(chain, nodeName, fileName, readOnly).Render();
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
      for (const ImageFileUse& file : QemuFileUses(*chain, false)) {
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
    return BlockdevArguments(
        *chain, nodeName, [this](std::size_t file) { return store_.NameOfFile(file); }, readOnly);
  }
  const std::size_t file = plan_.FileOfUse(use);
  const bool drive =
      file < plan_.files().size() && plan_.files()[file].fileKind == FileKind::kBlockDevice;
  return RawBlockNodes(store_.NameOfFile(file), nodeName, readOnly, drive ? "host_cdrom" : "file");
}
