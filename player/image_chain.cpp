#include "player/image_chain.h"

#include <algorithm>
#include <optional>

#include "platform/ascii_case.h"
#include "platform/byte_order.h"
#include "platform/path_names.h"

namespace {

constexpr int kMaximumBackingLevels = 16;
constexpr std::size_t kImageStartBytes = 512;
constexpr std::uint64_t kSectorBytes = 512;

// qcow2 (big-endian). QEMU takes backing names of up to 1023 bytes, cluster
// sizes of 512 bytes to 2 MiB, and backing formats shorter than 16 bytes.
constexpr std::string_view kQcow2Magic = "QFI\xFB";
constexpr std::size_t kQcow2Version2HeaderBytes = 72;
constexpr std::size_t kQcow2Version3HeaderBytes = 104;
constexpr std::uint64_t kQcow2MaximumNameBytes = 1023;
constexpr std::uint64_t kQcow2MinimumClusterBits = 9;
constexpr std::uint64_t kQcow2MaximumClusterBits = 21;
constexpr std::size_t kQcow2MaximumBackingFormatBytes = 15;
constexpr std::uint64_t kQcow2DataFileBit = 1ULL << 2;
constexpr std::uint64_t kQcow2EndExtension = 0;
constexpr std::uint64_t kQcow2BackingFormatExtension = 0xE2792ACA;
constexpr std::uint64_t kQcow2DataFileExtension = 0x44415441;
// The header extensions the player reads; QEMU's end where the backing name
// or the first cluster starts, and real ones take a few hundred bytes.
constexpr std::uint64_t kQcow2MaximumExtensionBytes = 64 * 1024;

// vmdk (little-endian). QEMU looks for a sparse file's parent in the 20
// sectors from its second sector, whatever the header says.
constexpr std::string_view kVmdkSparseMagic = "KDMV";
constexpr std::string_view kVmdkDescriptorStart = "# Disk DescriptorFile";
constexpr std::size_t kVmdkSparseHeaderBytes = 77;
constexpr std::uint64_t kVmdkParentWindowOffset = 512;
constexpr std::size_t kVmdkParentWindowBytes = 20 * 512;
constexpr std::string_view kVmdkParentKey = "parentFileNameHint";
constexpr std::size_t kVmdkMaximumNameBytes = 1023;
constexpr std::size_t kVmdkMaximumDescriptorBytes = 64 * 1024;
constexpr std::size_t kVmdkMaximumExtents = 64;
// Keeps a byte count within what QEMU's options take.
constexpr std::uint64_t kMaximumSectors = (1ULL << 62) / kSectorBytes;

constexpr const char* kProtocolText = "Das Abbild nennt eine Netzwerk- oder Protokolladresse: '";
constexpr const char* kTooDeepText =
    "Die Kette der Abbilder hat mehr als 16 Stufen; die Stufe zu viel ist: '";
constexpr const char* kLoopText =
    "Das Abbild nennt eine Datei, die schon zu seiner Kette geh\xF6rt: '";
constexpr const char* kBadNameText = "Das Abbild nennt einen unbrauchbaren Dateinamen: '";
constexpr const char* kBrokenText =
    "Der Kopf des Abbilds ist besch\xE4"
    "digt oder abgeschnitten: '";
constexpr const char* kUnreadableText = "Das Abbild kann nicht gelesen werden: '";
constexpr const char* kFormatText = "Das Abbild hat ein Format, das der Player nicht nutzt: '";
constexpr const char* kNoDataFileText =
    "Das Abbild verlangt eine eigene Datendatei, nennt aber keine: '";
constexpr const char* kDescriptorTooLargeText =
    "Die Beschreibung des VMDK-Abbilds ist zu gro\xDF: '";
constexpr const char* kTooManyExtentsText = "Das VMDK-Abbild nennt zu viele Teile: '";
constexpr const char* kExtentTypeText =
    "Das VMDK-Abbild nennt einen Teil, der keine gew\xF6hnliche Datei ist: '";
constexpr const char* kLayoutText =
    "Das VMDK-Abbild ist auf eine Weise aufgeteilt, die der Player nicht \xFC"
    "bergeben kann (nur ein Teil im Format FLAT geht): '";
constexpr const char* kParentFormatText =
    "Das VMDK-Abbild nennt als Vorg\xE4nger kein VMDK-Abbild mit eigenen Daten: '";

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view NextWord(std::string_view& line) {
  while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
  std::size_t end = 0;
  while (end < line.size() && !IsBlank(line[end])) ++end;
  const std::string_view word = line.substr(0, end);
  line.remove_prefix(end);
  return word;
}

bool ReadSectors(std::string_view digits, std::uint64_t* sectors) {
  if (digits.empty() || digits.size() > 19) return false;
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > kMaximumSectors) return false;
  *sectors = value;
  return true;
}

// What a qcow2 header names.
struct Qcow2Names {
  std::optional<std::string> backing;
  std::string backingFormat;
  bool hasDataFile = false;
  std::optional<std::string> dataFile;
};

// One extent line of a vmdk descriptor.
struct VmdkExtent {
  std::string access;
  std::uint64_t sectors = 0;
  std::string type;
  std::string file;
  std::uint64_t offset = 0;
};

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
    chain_.refusal = text;
    chain_.refusedName = name;
    return Finish();
  }

  bool Stop(const char* text, const std::string& name) {
    chain_.refusal = text;
    chain_.refusedName = name;
    return false;
  }

  // A name as written in the image at `naming` (its resolved path).
  bool CheckName(const std::string& name, const std::string& naming) {
    if (name.empty() || name.find('\0') != std::string::npos) {
      return Stop(kBadNameText, naming);
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

  // Up to `count` bytes at `at`, never asking beyond the file's size.
  bool ReadBytes(std::size_t file, std::uint64_t size, std::uint64_t at, std::uint64_t count,
                 const std::string& name, std::string* bytes) {
    bytes->clear();
    if (at >= size) return true;
    const std::uint64_t length = std::min(count, size - at);
    if (!files_.ReadAt(file, at, static_cast<std::size_t>(length), bytes) ||
        bytes->size() > length) {
      return Stop(kUnreadableText, name);
    }
    return true;
  }

  // Reads the layer at `index`: its format, its own files (added as nodes),
  // and the name of its backing file, if any, with the format the header
  // declares for it.
  bool ReadLayer(int index, const std::string& resolved, const std::string& declaredFormat,
                 bool vmdkParent, std::optional<std::string>* backing, std::string* backingFormat) {
    ImageNode& node = chain_.nodes[static_cast<std::size_t>(index)];
    const std::size_t file = node.file;
    const std::uint64_t size = files_.Size(file);
    std::string start;
    if (!ReadBytes(file, size, 0, kImageStartBytes, resolved, &start)) return false;
    ImageFormat format = FormatOfImageStart(start);
    // A backing file's declared format wins, as in QEMU: a raw backing file
    // is raw bytes even when its guest wrote a header into it.
    if (declaredFormat == "raw") {
      format = ImageFormat::kRaw;
    } else if ((declaredFormat == "qcow2" && format != ImageFormat::kQcow2) ||
               (declaredFormat == "vmdk" && format != ImageFormat::kVmdk)) {
      return Stop(kFormatText, resolved);
    }
    node.format = format;
    backingFormat->clear();
    switch (format) {
      case ImageFormat::kRaw:
        if (vmdkParent) return Stop(kParentFormatText, resolved);
        return true;
      case ImageFormat::kQcow2:
        if (vmdkParent) return Stop(kParentFormatText, resolved);
        return ReadQcow2Layer(index, size, resolved, backing, backingFormat);
      case ImageFormat::kVmdk:
        if (start.compare(0, kVmdkSparseMagic.size(), kVmdkSparseMagic) == 0) {
          return ReadSparseVmdk(file, size, start, resolved, backing);
        }
        if (vmdkParent) return Stop(kParentFormatText, resolved);
        return ReadVmdkDescriptor(index, size, resolved);
    }
    return true;
  }

  bool ReadQcow2Layer(int index, std::uint64_t size, const std::string& resolved,
                      std::optional<std::string>* backing, std::string* backingFormat) {
    Qcow2Names names;
    if (!ReadQcow2Names(chain_.nodes[static_cast<std::size_t>(index)].file, size, resolved,
                        &names)) {
      return false;
    }
    if (names.hasDataFile) {
      if (!names.dataFile) return Stop(kNoDataFileText, resolved);
      if (!CheckName(*names.dataFile, resolved)) return false;
      std::string dataResolved;
      const int level = chain_.nodes[static_cast<std::size_t>(index)].level;
      const int data =
          Add(PathInFolder(*names.dataFile, FolderOfPath(resolved, separator_), separator_),
              ImageLink::kDataFile, level, &dataResolved);
      if (data < 0) return false;
      chain_.nodes[static_cast<std::size_t>(index)].dataFile = data;
    }
    const std::string& declared = names.backingFormat;
    if (names.backing && !declared.empty() && declared != "raw" && declared != "qcow2" &&
        declared != "vmdk") {
      return Stop(kFormatText, resolved);
    }
    *backing = names.backing;
    *backingFormat = declared;
    return true;
  }

  // The header as QEMU 7.2 reads it (qcow2_do_open, qcow2_read_extensions);
  // where QEMU would read past the end or cut a name at a NUL byte, the
  // player refuses instead.
  bool ReadQcow2Names(std::size_t file, std::uint64_t size, const std::string& resolved,
                      Qcow2Names* names) {
    std::string header;
    if (!ReadBytes(file, size, 0, kQcow2Version3HeaderBytes, resolved, &header)) return false;
    if (header.size() < kQcow2Version2HeaderBytes) return Stop(kBrokenText, resolved);
    const std::uint64_t version = BigEndian(header, 4, 4);
    if (version != 2 && version != 3) return Stop(kFormatText, resolved);
    const std::uint64_t backingOffset = BigEndian(header, 8, 8);
    const std::uint64_t backingBytes = BigEndian(header, 16, 4);
    const std::uint64_t clusterBits = BigEndian(header, 20, 4);
    if (clusterBits < kQcow2MinimumClusterBits || clusterBits > kQcow2MaximumClusterBits) {
      return Stop(kBrokenText, resolved);
    }
    const std::uint64_t clusterBytes = 1ULL << clusterBits;
    std::uint64_t headerBytes = kQcow2Version2HeaderBytes;
    std::uint64_t incompatible = 0;
    if (version == 3) {
      if (header.size() < kQcow2Version3HeaderBytes) return Stop(kBrokenText, resolved);
      incompatible = BigEndian(header, 72, 8);
      headerBytes = BigEndian(header, 100, 4);
      if (headerBytes < kQcow2Version3HeaderBytes || headerBytes > clusterBytes) {
        return Stop(kBrokenText, resolved);
      }
    }
    names->hasDataFile = (incompatible & kQcow2DataFileBit) != 0;
    if (backingOffset != 0) {
      if (backingOffset > clusterBytes) return Stop(kBrokenText, resolved);
      if (backingBytes > kQcow2MaximumNameBytes || backingBytes > clusterBytes - backingOffset) {
        return Stop(kBadNameText, resolved);
      }
      if (backingBytes > 0) {
        if (backingOffset + backingBytes > size) return Stop(kBrokenText, resolved);
        std::string name;
        if (!ReadBytes(file, size, backingOffset, backingBytes, resolved, &name)) return false;
        if (name.size() != backingBytes) return Stop(kBrokenText, resolved);
        names->backing = name;
      }
    }
    const std::uint64_t extensionsEnd = backingOffset != 0 ? backingOffset : clusterBytes;
    return ReadQcow2Extensions(file, size, headerBytes, extensionsEnd, resolved, names);
  }

  bool ReadQcow2Extensions(std::size_t file, std::uint64_t size, std::uint64_t begin,
                           std::uint64_t end, const std::string& resolved, Qcow2Names* names) {
    if (begin >= end) return true;
    std::string area;
    const std::uint64_t wanted = std::min(end - begin, kQcow2MaximumExtensionBytes);
    if (!ReadBytes(file, size, begin, wanted, resolved, &area)) return false;
    std::uint64_t at = 0;
    const std::uint64_t areaEnd = end - begin;
    while (at < areaEnd) {
      // Cut short by the file's end or the player's bound before the end
      // mark: QEMU would read on, so the player cannot know the rest.
      if (at + 8 > area.size()) return Stop(kBrokenText, resolved);
      const std::uint64_t type = BigEndian(area, static_cast<std::size_t>(at), 4);
      const std::uint64_t length = BigEndian(area, static_cast<std::size_t>(at) + 4, 4);
      at += 8;
      if (at > areaEnd || length > areaEnd - at) return Stop(kBrokenText, resolved);
      if (type == kQcow2EndExtension) return true;
      if (length > area.size() - at) return Stop(kBrokenText, resolved);
      const std::string data =
          area.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(length));
      if (type == kQcow2BackingFormatExtension) {
        if (data.size() > kQcow2MaximumBackingFormatBytes) return Stop(kBrokenText, resolved);
        names->backingFormat = data.substr(0, data.find('\0'));
      } else if (type == kQcow2DataFileExtension) {
        names->dataFile = data;
      }
      at += (length + 7) / 8 * 8;
    }
    return true;
  }

  // A sparse vmdk holds its own data; only its parent is another file.
  bool ReadSparseVmdk(std::size_t file, std::uint64_t size, const std::string& start,
                      const std::string& resolved, std::optional<std::string>* backing) {
    if (start.size() < kVmdkSparseHeaderBytes) return Stop(kBrokenText, resolved);
    const std::uint64_t capacity = LittleEndian(start, 12, 8);
    const std::uint64_t descriptorSector = LittleEndian(start, 28, 8);
    // QEMU then takes the embedded descriptor for a descriptor file of
    // extents by name, which no explicit node can replace.
    if (capacity == 0 && descriptorSector != 0) return Stop(kLayoutText, resolved);
    std::string window;
    if (!ReadBytes(file, size, kVmdkParentWindowOffset, kVmdkParentWindowBytes, resolved,
                   &window)) {
      return false;
    }
    window.resize(std::min(window.size(), window.find('\0')));
    const std::size_t key = window.find(kVmdkParentKey);
    if (key == std::string::npos) return true;
    // QEMU skips the key and two more bytes ("=\"") and takes what comes
    // up to the next quote, whatever the two bytes were.
    const std::size_t name = key + kVmdkParentKey.size() + 2;
    if (name > window.size()) return Stop(kBrokenText, resolved);
    const std::size_t quote = window.find('"', name);
    if (quote == std::string::npos) return Stop(kBrokenText, resolved);
    if (quote - name > kVmdkMaximumNameBytes) return Stop(kBadNameText, resolved);
    // An empty hint names no parent, for QEMU as well.
    if (quote > name) *backing = window.substr(name, quote - name);
    return true;
  }

  bool ReadVmdkDescriptor(int index, std::uint64_t size, const std::string& resolved) {
    const std::size_t file = chain_.nodes[static_cast<std::size_t>(index)].file;
    if (size > kVmdkMaximumDescriptorBytes) return Stop(kDescriptorTooLargeText, resolved);
    std::string text;
    if (!ReadBytes(file, size, 0, size, resolved, &text)) return false;
    text.resize(std::min(text.size(), text.find('\0')));
    std::vector<VmdkExtent> extents;
    if (!ReadExtentLines(text, resolved, &extents)) return false;
    // QEMU 7.2 takes no extent as a node of its own (a descriptor's extents
    // are always opened by name), so only a single flat extent can be
    // handed over: as raw bytes at its place in its file. A flat disk never
    // reads its parent, so a parent hint is not followed.
    if (extents.size() != 1) return Stop(kLayoutText, resolved);
    const VmdkExtent& extent = extents.front();
    if ((extent.type != "FLAT" && extent.type != "VMFS") || extent.access == "NOACCESS" ||
        extent.sectors == 0 || extent.offset > kMaximumSectors - extent.sectors) {
      return Stop(kLayoutText, resolved);
    }
    std::string extentResolved;
    const int level = chain_.nodes[static_cast<std::size_t>(index)].level;
    const int added = Add(PathInFolder(extent.file, FolderOfPath(resolved, separator_), separator_),
                          ImageLink::kExtent, level, &extentResolved);
    if (added < 0) return false;
    ImageNode& node = chain_.nodes[static_cast<std::size_t>(index)];
    node.extent = added;
    node.extentOffset = extent.offset * kSectorBytes;
    node.extentSize = extent.sectors * kSectorBytes;
    node.extentReadOnly = extent.access == "RDONLY";
    return true;
  }

  // Extent lines: RW|RDONLY|NOACCESS <sectors> <type> "<file>" [<offset>].
  bool ReadExtentLines(std::string_view text, const std::string& resolved,
                       std::vector<VmdkExtent>* extents) {
    while (!text.empty()) {
      const std::size_t end = text.find_first_of("\r\n");
      std::string_view line = text.substr(0, end);
      text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
      const std::string_view access = NextWord(line);
      if (access != "RW" && access != "RDONLY" && access != "NOACCESS") continue;
      if (extents->size() == kVmdkMaximumExtents) return Stop(kTooManyExtentsText, resolved);
      VmdkExtent extent;
      extent.access = std::string(access);
      if (!ReadSectors(NextWord(line), &extent.sectors)) return Stop(kBrokenText, resolved);
      extent.type = std::string(NextWord(line));
      while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
      if (line.empty() || line.front() != '"') return Stop(kBrokenText, resolved);
      const std::size_t close = line.find('"', 1);
      if (close == std::string_view::npos) return Stop(kBrokenText, resolved);
      extent.file = std::string(line.substr(1, close - 1));
      line.remove_prefix(close + 1);
      const std::string_view offset = NextWord(line);
      if (!offset.empty() && !ReadSectors(offset, &extent.offset)) {
        return Stop(kBrokenText, resolved);
      }
      if (!NextWord(line).empty()) return Stop(kBrokenText, resolved);
      // Raw device mappings and the like reach past any file.
      if (extent.type != "FLAT" && extent.type != "VMFS" && extent.type != "SPARSE" &&
          extent.type != "VMFSSPARSE" && extent.type != "SESPARSE" && extent.type != "ZERO") {
        return Stop(kExtentTypeText, resolved);
      }
      if (extent.type != "ZERO" && !CheckName(extent.file, resolved)) return false;
      extents->push_back(extent);
    }
    return true;
  }

  ImageFiles& files_;
  const char separator_;
  ImageChain chain_;
};

}  // namespace

ImageFormat FormatOfImageStart(std::string_view start) {
  if (start.substr(0, kQcow2Magic.size()) == kQcow2Magic) return ImageFormat::kQcow2;
  if (start.substr(0, kVmdkSparseMagic.size()) == kVmdkSparseMagic) return ImageFormat::kVmdk;
  if (start.substr(0, kVmdkDescriptorStart.size()) == kVmdkDescriptorStart) {
    return ImageFormat::kVmdk;
  }
  return ImageFormat::kRaw;
}

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
