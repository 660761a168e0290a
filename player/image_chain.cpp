#include "player/image_chain.h"

#include <algorithm>
#include <optional>

#include "platform/ascii_case.h"
#include "platform/path_names.h"

namespace {

constexpr int kMaximumBackingLevels = 16;
constexpr std::size_t kImageStartBytes = 512;
constexpr std::uint64_t kSectorBytes = 512;
constexpr std::string_view kVmdkSparseMagic = "KDMV";
// A VMFSSPARSE extent's own header (ESX's "COWD" redo log).
constexpr std::string_view kVmdkCowdMagic = "COWD";

constexpr const char* kProtocolText = "Das Abbild nennt eine Netzwerk- oder Protokolladresse: '";
constexpr const char* kTooDeepText =
    "Die Kette der Abbilder hat mehr als 16 Stufen; die Stufe zu viel ist: '";
constexpr const char* kLoopText =
    "Das Abbild nennt eine Datei, die schon zu seiner Kette geh\xF6rt: '";
constexpr const char* kParentFormatText =
    "Das VMDK-Abbild nennt als Vorg\xE4nger kein VMDK-Abbild mit eigenen Daten: '";
constexpr const char* kSparseExtentText =
    "Ein Teil des VMDK-Abbilds ist kein Teil im Format, das seine Beschreibung nennt: '";

class ChainReader {
 public:
  ChainReader(ImageFiles& files, char separator) : files_(files), separator_(separator) {}

  ImageChain Read(const std::string& topPath) {
    std::string path = topPath;
    ImageLink link = ImageLink::kTop;
    std::string declaredFormat;
    bool vmdkParent = false;
    int above = -1;
    for (int level = 0;; ++level) {
      if (level > kMaximumBackingLevels) return Refuse(kTooDeepText, path);
      std::string resolved;
      const int index = Add(path, link, level, &resolved);
      if (index < 0) return Finish();
      if (above >= 0) chain_.nodes[static_cast<std::size_t>(above)].backing = index;
      if (chain_.nodes[static_cast<std::size_t>(index)].pending) return Finish();
      std::optional<std::string> backing;
      if (!ReadLayer(index, resolved, declaredFormat, vmdkParent, &backing, &declaredFormat)) {
        return Finish();
      }
      if (!backing) return Finish();
      if (!CheckName(*backing, resolved)) return Finish();
      vmdkParent = chain_.nodes[static_cast<std::size_t>(index)].format == ImageFormat::kVmdk;
      path = PathInFolder(*backing, FolderOfPath(resolved, separator_), separator_);
      link = ImageLink::kBacking;
      above = index;
    }
  }

 private:
  ImageChain Finish() { return std::move(chain_); }

  ImageChain Refuse(const char* text, const std::string& name) {
    Stop(text, name);
    return Finish();
  }

  bool Stop(const char* text, const std::string& name) {
    chain_.refusal = text;
    chain_.refusedName = name;
    return false;
  }

  ImageNode& Node(int index) { return chain_.nodes[static_cast<std::size_t>(index)]; }

  // A name as written in the image at `naming` (its resolved path).
  bool CheckName(const std::string& name, const std::string& naming) {
    if (name.empty() || name.find('\0') != std::string::npos) {
      return Stop(kImageBadNameText, naming);
    }
    if (NamesProtocol(name, separator_)) return Stop(kProtocolText, name);
    return true;
  }

  // The node of a placed file, or -1 when the chain stops.
  int Add(const std::string& path, ImageLink link, int level, std::string* resolved) {
    if (NamesProtocol(path, separator_)) {
      Stop(kProtocolText, path);
      return -1;
    }
    std::size_t file = 0;
    const ImageFiles::Opened opened = files_.Open(path, link, level, &file, resolved);
    if (opened == ImageFiles::Opened::kRefused) {
      chain_.refusedByCaller = true;
      chain_.refusedName = path;
      return -1;
    }
    for (const ImageNode& node : chain_.nodes) {
      if (node.file == file) {
        Stop(kLoopText, path);
        return -1;
      }
    }
    ImageNode node;
    node.file = file;
    node.link = link;
    node.level = level;
    node.pending = opened == ImageFiles::Opened::kNotYet;
    chain_.nodes.push_back(node);
    return static_cast<int>(chain_.nodes.size() - 1);
  }

  ReadImageBytes Reader(std::size_t file) {
    return [this, file](std::uint64_t offset, std::size_t count, std::string* bytes) {
      return files_.ReadAt(file, offset, count, bytes);
    };
  }

  // Reads the layer at `index`: its format, its own files (added as nodes),
  // and the name of its backing file, if any, with the format the header
  // declares for it.
  bool ReadLayer(int index, const std::string& resolved, const std::string& declaredFormat,
                 bool vmdkParent, std::optional<std::string>* backing, std::string* backingFormat) {
    const std::size_t file = Node(index).file;
    const std::uint64_t size = files_.Size(file);
    std::string start;
    if (!files_.ReadAt(file, 0,
                       static_cast<std::size_t>(std::min<std::uint64_t>(size, kImageStartBytes)),
                       &start)) {
      return Stop(kImageUnreadableText, resolved);
    }
    ImageFormat format = FormatOfImageStart(start);
    // A backing file's declared format wins, as in QEMU: a raw backing file
    // is raw bytes even when its guest wrote a header into it.
    if (declaredFormat == "raw") {
      format = ImageFormat::kRaw;
    } else if ((declaredFormat == "qcow2" && format != ImageFormat::kQcow2) ||
               (declaredFormat == "vmdk" && format != ImageFormat::kVmdk)) {
      return Stop(kImageFormatText, resolved);
    }
    Node(index).format = format;
    backingFormat->clear();
    switch (format) {
      case ImageFormat::kRaw:
        if (vmdkParent) return Stop(kParentFormatText, resolved);
        Node(index).virtualSize = size;
        return true;
      case ImageFormat::kVmdk:
        if (start.substr(0, kVmdkSparseMagic.size()) == kVmdkSparseMagic) {
          return ReadSparseLayer(index, size, resolved, backing);
        }
        return ReadDescriptorLayer(index, size, resolved, backing);
      case ImageFormat::kQcow2:
        if (vmdkParent) return Stop(kParentFormatText, resolved);
        return ReadQcow2Layer(index, size, resolved, backing, backingFormat);
    }
    return true;
  }

  bool ReadQcow2Layer(int index, std::uint64_t size, const std::string& resolved,
                      std::optional<std::string>* backing, std::string* backingFormat) {
    const Qcow2Header header = ReadQcow2Header(Reader(Node(index).file), size);
    if (header.refusal != nullptr) return Stop(header.refusal, resolved);
    Node(index).virtualSize = header.virtualSize;
    if (header.hasDataFile) {
      if (!CheckName(*header.dataFile, resolved)) return false;
      std::string dataResolved;
      const int data =
          Add(PathInFolder(*header.dataFile, FolderOfPath(resolved, separator_), separator_),
              ImageLink::kDataFile, Node(index).level, &dataResolved);
      if (data < 0) return false;
      Node(index).dataFile = data;
    }
    const std::string& declared = header.backingFormat;
    if (header.backing && !declared.empty() && declared != "raw" && declared != "qcow2" &&
        declared != "vmdk") {
      return Stop(kImageFormatText, resolved);
    }
    *backing = header.backing;
    *backingFormat = declared;
    return true;
  }

  // A sparse vmdk holds its own data, unless its header has no capacity and
  // an embedded descriptor names the extents instead.
  bool ReadSparseLayer(int index, std::uint64_t size, const std::string& resolved,
                       std::optional<std::string>* backing) {
    const VmdkSparseHeader header = ReadSparseVmdk(Reader(Node(index).file), size);
    if (header.refusal != nullptr) return Stop(header.refusal, resolved);
    *backing = header.parent;
    if (header.embedded) return ReadExtents(index, *header.embedded, resolved, backing);
    Node(index).readOnly = header.readOnly;
    Node(index).virtualSize = header.capacitySectors * kSectorBytes;
    return true;
  }

  bool ReadDescriptorLayer(int index, std::uint64_t size, const std::string& resolved,
                           std::optional<std::string>* backing) {
    if (size > kVmdkMaximumDescriptorBytes) {
      return Stop(kVmdkDescriptorTooLargeText, resolved);
    }
    std::string text;
    if (!files_.ReadAt(Node(index).file, 0, static_cast<std::size_t>(size), &text) ||
        text.size() > size) {
      return Stop(kImageUnreadableText, resolved);
    }
    text.resize(std::min(text.size(), text.find('\0')));
    const VmdkDescriptor descriptor = ReadVmdkDescriptorText(text);
    if (descriptor.refusal != nullptr) return Stop(descriptor.refusal, resolved);
    *backing = descriptor.parent;
    return ReadExtents(index, descriptor, resolved, backing);
  }

  // Places the extents a descriptor names. A lone flat extent goes to QEMU
  // as raw bytes at its place; anything else as a descriptor the player
  // writes.
  bool ReadExtents(int index, const VmdkDescriptor& descriptor, const std::string& resolved,
                   std::optional<std::string>* backing) {
    const std::string folder = FolderOfPath(resolved, separator_);
    const int level = Node(index).level;
    std::uint64_t sectors = 0;
    for (const VmdkExtent& extent : descriptor.extents) sectors += extent.sectors;
    Node(index).virtualSize = sectors * kSectorBytes;
    // Flat extents hold every sector: QEMU never reads a parent below them.
    const bool flat =
        std::all_of(descriptor.extents.begin(), descriptor.extents.end(),
                    [](const VmdkExtent& e) { return e.type == "FLAT" || e.type == "VMFS"; });
    if (flat) backing->reset();
    const VmdkExtent& first = descriptor.extents.front();
    if (descriptor.extents.size() == 1 && flat) {
      if (!CheckName(first.file, resolved)) return false;
      std::string extentResolved;
      const int added = Add(PathInFolder(first.file, folder, separator_), ImageLink::kExtent, level,
                            &extentResolved);
      if (added < 0) return false;
      ImageNode& node = Node(index);
      node.extent = added;
      node.extentOffset = first.offset * kSectorBytes;
      node.extentSize = first.sectors * kSectorBytes;
      node.readOnly = first.access == "RDONLY";
      return true;
    }
    Node(index).descriptor = descriptor;
    for (const VmdkExtent& extent : descriptor.extents) {
      if (!CheckName(extent.file, resolved)) return false;
      std::string extentResolved;
      const int added = Add(PathInFolder(extent.file, folder, separator_), ImageLink::kExtent,
                            level, &extentResolved);
      if (added < 0) return false;
      Node(index).extents.push_back({added, extent});
      if (extent.access == "RDONLY" || extent.type == "SESPARSE") Node(index).readOnly = true;
      if (Node(added).pending) continue;
      if ((extent.type == "SPARSE" || extent.type == "VMFSSPARSE") &&
          !ReadSparseExtent(index, added, extent.type, extentResolved)) {
        return false;
      }
    }
    return true;
  }

  // A sparse extent must be a sparse file holding its own data.
  bool ReadSparseExtent(int index, int extent, const std::string& type,
                        const std::string& resolved) {
    const std::size_t file = Node(extent).file;
    const std::uint64_t size = files_.Size(file);
    std::string magic;
    if (!files_.ReadAt(file, 0, static_cast<std::size_t>(std::min<std::uint64_t>(size, 4)),
                       &magic)) {
      return Stop(kImageUnreadableText, resolved);
    }
    if (type == "VMFSSPARSE" && magic == kVmdkCowdMagic) return true;
    if (magic != kVmdkSparseMagic) return Stop(kSparseExtentText, resolved);
    const VmdkSparseHeader header = ReadSparseVmdk(Reader(file), size);
    if (header.refusal != nullptr) return Stop(header.refusal, resolved);
    if (header.embedded) return Stop(kSparseExtentText, resolved);
    Node(extent).format = ImageFormat::kVmdk;
    if (header.readOnly) Node(index).readOnly = true;
    return true;
  }

  ImageFiles& files_;
  const char separator_;
  ImageChain chain_;
};

}  // namespace

bool NamesProtocol(std::string_view name, char separator) {
  if (separator == '\\' && name.size() >= 2 && name[1] == ':' && IsAsciiLetter(name[0])) {
    return false;
  }
  for (char c : name) {
    if (c == ':') return true;
    if (IsPathSeparator(c, separator)) return false;
  }
  return false;
}

bool ImageChain::Pending() const {
  return std::any_of(nodes.begin(), nodes.end(), [](const ImageNode& n) { return n.pending; });
}

ImageChain ReadImageChain(const std::string& topPath, ImageFiles& files, char separator) {
  return ChainReader(files, separator).Read(topPath);
}
