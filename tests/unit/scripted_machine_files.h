// A file system in tables for the player's plan and hand-over: what each
// name resolves to, what lies there and its bytes, and a record of every
// look, open and read, so that a test can tell what was touched before the
// user agreed.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "player/file_hand_over.h"
#include "player/host/image_folder.h"
#include "player/machine_files.h"

namespace player_test {

class ScriptedFiles : public MachineFileHost {
 public:
  // Name -> resolved name; unlisted names resolve to themselves, an empty
  // target is a dangling link.
  std::map<std::string, std::string> links;
  std::map<std::string, FileKind> kinds;  // by resolved name; unlisted: missing
  std::map<std::string, std::string> contents;
  std::map<std::string, std::uint64_t> linkCounts;  // unlisted: 1
  std::set<std::string> privateFiles;
  std::set<std::string> sharedFolders;  // others may write in them
  std::vector<std::string> looked;      // every name resolved or looked at
  std::vector<std::string> held;        // opened for reading; the index is the number
  std::vector<std::string> read;        // the file of every read, in order

  void Put(const std::string& path, const std::string& bytes = "x") {
    kinds[path] = FileKind::kRegular;
    contents[path] = bytes;
  }
  bool WasRead(const std::string& path) const {
    return std::find(read.begin(), read.end(), path) != read.end();
  }
  bool WasHeld(const std::string& path) const {
    return std::find(held.begin(), held.end(), path) != held.end();
  }

  bool Resolve(const std::string& path, std::string* resolved) override {
    looked.push_back(path);
    const auto link = links.find(path);
    *resolved = link == links.end() ? path : link->second;
    return !resolved->empty();
  }
  FileKind Kind(const std::string& resolved) override {
    looked.push_back(resolved);
    const auto kind = kinds.find(resolved);
    return kind == kinds.end() ? FileKind::kMissing : kind->second;
  }
  bool PrivateToUser(const std::string& resolved) override {
    return privateFiles.count(resolved) != 0;
  }
  bool OthersMayWrite(const std::string& resolvedFolder) override {
    return sharedFolders.count(resolvedFolder) != 0;
  }
  bool OpenForReading(const std::string& resolved, bool blockDeviceAllowed,
                      std::size_t* number) override {
    const auto kind = kinds.find(resolved);
    if (kind == kinds.end()) return false;
    if (kind->second != FileKind::kRegular &&
        !(blockDeviceAllowed && kind->second == FileKind::kBlockDevice)) {
      return false;
    }
    held.push_back(resolved);
    *number = held.size() - 1;
    return true;
  }
  bool ReadAt(std::size_t number, std::uint64_t offset, std::size_t count,
              std::string* bytes) override {
    const std::string& name = held.at(number);
    read.push_back(name);
    const std::string& all = contents[name];
    *bytes =
        offset >= all.size() ? std::string() : all.substr(static_cast<std::size_t>(offset), count);
    return true;
  }
  std::uint64_t Size(std::size_t number) override { return contents[held.at(number)].size(); }
  std::uint64_t LinkCount(std::size_t number) override {
    const auto count = linkCounts.find(held.at(number));
    return count == linkCounts.end() ? 1 : count->second;
  }
};

// The system's side of the hand-over: made-up descriptors, every open
// recorded.
class ScriptedHandOver : public HandOverHost {
 public:
  struct Opening {
    std::string name;
    HandOverMode mode;
    bool held;  // opened again from the file the plan holds
    bool blockDevice;
  };

  explicit ScriptedHandOver(const ScriptedFiles& files) : files_(files) {}

  bool descriptors = true;
  std::set<std::string> failing;  // these do not open
  int nextDescriptor = 30;
  std::vector<Opening> openings;

  bool HandsDescriptors() const override { return descriptors; }
  bool OpenHeld(std::size_t held, HandOverMode mode, std::vector<int>* fds) override {
    return Open(files_.held.at(held), mode, true, false, fds);
  }
  bool OpenNamed(const std::string& resolved, HandOverMode mode, bool blockDevice,
                 std::vector<int>* fds) override {
    return Open(resolved, mode, false, blockDevice, fds);
  }

 private:
  bool Open(const std::string& name, HandOverMode mode, bool held, bool blockDevice,
            std::vector<int>* fds) {
    openings.push_back({name, mode, held, blockDevice});
    if (failing.count(name) != 0) return false;
    fds->push_back(nextDescriptor++);
    // QEMU asks for a read-only descriptor beside a read-write one.
    if (mode == HandOverMode::kReadWrite) fds->push_back(nextDescriptor++);
    return true;
  }

  const ScriptedFiles& files_;
};

// The player's image folder in memory: each file written, by name.
class ScriptedImageFolder : public ImageFolder {
 public:
  bool Write(const std::string& name, const std::string& bytes, std::string* path) override {
    if (failing || written.count(name) != 0) return false;
    written[name] = bytes;
    *path = "/tmp/trennwick_overlay_1/" + name;
    return true;
  }

  bool failing = false;
  std::map<std::string, std::string> written;
};

// A version 3 qcow2 header with 64 KiB clusters naming `backing` (none
// when empty).
inline std::string Qcow2Naming(const std::string& backing) {
  std::string image(104, '\0');
  auto put = [&image](std::size_t at, std::uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      image[at + static_cast<std::size_t>(i)] = static_cast<char>(value & 0xFF);
      value >>= 8;
    }
  };
  image.replace(0, 4, "QFI\xFB");
  put(4, 3, 4);
  put(20, 16, 4);
  put(100, 104, 4);
  image += std::string(8, '\0');  // the end of the header extensions
  if (!backing.empty()) {
    put(8, image.size(), 8);
    put(16, backing.size(), 4);
    image += backing;
  }
  return image + std::string(512, '\0');
}

// A vmdk text descriptor with one flat extent `file` at sector `offset`.
inline std::string FlatVmdkDescriptor(const std::string& file, int sectors, int offset) {
  return "# Disk DescriptorFile\nversion=1\ncreateType=\"monolithicFlat\"\n\nRW " +
         std::to_string(sectors) + " FLAT \"" + file + "\" " + std::to_string(offset) + "\n";
}

// A hosted sparse vmdk of 1 MiB (64 KiB grains); `compression` 1 makes it
// streamOptimized.
inline std::string SparseVmdkFile(int compression = 0) {
  std::string image(1024, '\0');
  auto put = [&image](std::size_t at, std::uint64_t value, int count) {
    for (int i = 0; i < count; ++i, value >>= 8) {
      image[at + static_cast<std::size_t>(i)] = static_cast<char>(value & 0xFF);
    }
  };
  image.replace(0, 4, "KDMV");
  put(4, 1, 4);
  put(12, 2048, 8);
  put(20, 128, 8);
  put(44, 512, 4);
  put(77, static_cast<std::uint64_t>(compression), 2);
  return image;
}

inline FileUse DiskUse(const std::string& path, const std::string& node = "drive0") {
  return {path, FileAccess::kWrite, FileUseKind::kDiskImage, node};
}
inline FileUse CdUse(const std::string& path, const std::string& node = "drive1") {
  return {path, FileAccess::kRead, FileUseKind::kCdImage, node};
}
inline FileUse SerialUse(const std::string& path, const std::string& port = "serial0") {
  return {path, FileAccess::kAppend, FileUseKind::kSerialOutput, port};
}

}  // namespace player_test
