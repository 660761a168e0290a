// The input is a few images, split at "\n--8<--\n": the first is the top,
// named "/vm/0"; an image names the others as "1", "2", ... (any other name
// is refused, as the plan refuses what it cannot use; the last image is
// served as not readable yet). Checks the model: reads stay within the
// sizes told, only readable files are read, every node's file came from
// Open, the chain is at most 16 backing levels deep, the rendering is
// pairs of "-blockdev" and a value whose commas are all doubled, and the
// descriptor the player writes for a node of extents names exactly the
// names handed to it, one RW line each, and no parent.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "player/block_renderer.h"
#include "player/image_chain.h"
#include "player/image_writers.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

class FuzzImageFiles : public ImageFiles {
 public:
  explicit FuzzImageFiles(std::vector<std::string> images) : images_(std::move(images)) {}

  Opened Open(const std::string& path, ImageLink, int level, std::size_t* file,
              std::string* resolved) override {
    Check(level >= 0 && level <= 16);
    const std::string prefix = "/vm/";
    if (path.compare(0, prefix.size(), prefix) != 0) return Opened::kRefused;
    const std::string number = path.substr(prefix.size());
    if (number.empty() || number.size() > 2 ||
        number.find_first_not_of("0123456789") != std::string::npos) {
      return Opened::kRefused;
    }
    const std::size_t index = std::stoul(number);
    if (index >= images_.size()) return Opened::kRefused;
    *file = index;
    *resolved = path;
    returned_.push_back(index);
    return NotYet(index) ? Opened::kNotYet : Opened::kReadable;
  }

  bool ReadAt(std::size_t file, std::uint64_t offset, std::size_t count,
              std::string* bytes) override {
    Check(file < images_.size() && !NotYet(file) && WasReturned(file));
    Check(offset <= images_[file].size() && count <= images_[file].size() - offset);
    *bytes = images_[file].substr(offset, count);
    return true;
  }

  std::uint64_t Size(std::size_t file) override {
    Check(file < images_.size() && WasReturned(file));
    return images_[file].size();
  }

  bool WasReturned(std::size_t file) const {
    for (std::size_t returned : returned_) {
      if (returned == file) return true;
    }
    return false;
  }

 private:
  bool NotYet(std::size_t index) const { return index > 0 && index + 1 == images_.size(); }

  std::vector<std::string> images_;
  std::vector<std::size_t> returned_;
};

std::vector<std::string> SplitImages(const std::string& input) {
  const std::string marker = "\n--8<--\n";
  std::vector<std::string> images;
  std::size_t start = 0;
  while (images.size() < 20) {
    const std::size_t end = input.find(marker, start);
    images.push_back(input.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + marker.size();
  }
  return images;
}

bool CommasDoubled(const std::string& value) {
  // Every run of commas inside a value is even; the single ones split options.
  std::size_t i = 0;
  while (i < value.size()) {
    if (value[i] != ',') {
      ++i;
      continue;
    }
    std::size_t run = 0;
    while (i < value.size() && value[i] == ',') ++run, ++i;
    if (run % 2 == 0) continue;
    // A single comma is a split: the option after it must start with a key.
    if (run != 1 || i == value.size() || value.find('=', i) == std::string::npos) return false;
  }
  return true;
}

int Depth(const ImageChain& chain) {
  int depth = 0;
  for (int at = chain.nodes.empty() ? -1 : chain.nodes[0].backing; at >= 0;
       at = chain.nodes[static_cast<std::size_t>(at)].backing) {
    ++depth;
    Check(depth <= 16);
  }
  return depth;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzImageFiles files(SplitImages(std::string(reinterpret_cast<const char*>(data), size)));
  const ImageChain chain = ReadImageChain("/vm/0", files, '/');
  for (const ImageNode& node : chain.nodes) {
    Check(files.WasReturned(node.file));
    const int count = static_cast<int>(chain.nodes.size());
    Check(node.backing < count && node.dataFile < count && node.extent < count);
    for (const ImageExtent& extent : node.extents) Check(extent.node > 0 && extent.node < count);
    if (node.extents.empty() || chain.Refused() || chain.Pending()) continue;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < node.extents.size(); ++i) {
      names.push_back("/dev/fdset/" + std::to_string(i + 1));
    }
    std::string text;
    if (!WriteVmdkDescriptor(node.descriptor, names, &text)) continue;
    const VmdkDescriptor reread = ReadVmdkDescriptorText(text);
    Check(reread.refusal == nullptr && !reread.parent && reread.extents.size() == names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
      Check(reread.extents[i].file == names[i] && reread.extents[i].access == "RW");
    }
  }
  Depth(chain);
  const auto fileName = [](std::size_t file) { return "/x,y/" + std::to_string(file); };
  const auto copyName = [](int node) { return "/x,y/copy" + std::to_string(node); };
  const std::vector<std::string> arguments =
      BlockdevArguments(chain, "disk0", fileName, false, copyName);
  Check(arguments.size() % 2 == 0);
  Check(arguments.empty() || (!chain.Refused() && !chain.Pending()));
  for (std::size_t i = 0; i < arguments.size(); i += 2) {
    Check(arguments[i] == "-blockdev");
    Check(CommasDoubled(arguments[i + 1]));
    if (arguments[i + 1].compare(0, 12, "driver=file,") == 0) {
      Check(arguments[i + 1].find(",filename=/x,,y/") != std::string::npos);
    }
  }
  if (!chain.Refused() && !chain.Pending()) Check(!arguments.empty());
  return 0;
}
