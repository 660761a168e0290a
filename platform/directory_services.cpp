#include "platform/directory_services.h"

#include "platform/directory_services_system.h"
#include "platform/system.h"

#include <string_view>
#include <vector>

namespace {

// The pattern of an empty one; both systems read it as every entry, names
// without a dot included.
constexpr char kEveryEntry[] = "*.*";

constexpr char kSeparator = system_facts::kPathSeparator;

bool IsTrailingFiller(char c) {
  return c == ' ' || c == '\\' || c == '/';
}

// Texts beyond the room are refused, not cut: a cut path can name another
// directory, and a cut entry name another file.
bool FitsPathRoom(std::size_t length) {
  return length <= DirectorySystem().pathRoom;
}

// The system reads a path up to its first NUL, so a text holding one would
// name something shorter than the caller gave.
bool HoldsNul(std::string_view text) {
  return text.find('\0') != std::string_view::npos;
}

// A pattern names entries of one directory; a separator in it could make
// the system's search look into another one.
bool IsNamePattern(std::string_view pattern) {
  return !HoldsNul(pattern) && pattern.find_first_of("\\/") == std::string_view::npos;
}

enum class EntryStep { Leave, Descend, RemoveLink, DeleteFile };

EntryStep ChooseEntryStep(const DirectoryEntry& entry, std::uint32_t flags) {
  if (entry.isDirectory) {
    if ((flags & RemoveRecursive) == 0 || entry.name == "." || entry.name == "..") {
      return EntryStep::Leave;
    }
    // Entering a link would delete what lies outside the tree.
    return entry.isLink ? EntryStep::RemoveLink : EntryStep::Descend;
  }
  return entry.isLink ? EntryStep::RemoveLink : EntryStep::DeleteFile;
}

std::int32_t RemoveLevel(const WalkedDirectory* parent, const std::string& name,
                         WalkedDirectory& directory, const std::string& pattern,
                         std::uint32_t flags) {
  DirectorySystemCalls& calls = DirectorySystem();
  if (!FitsPathRoom(directory.text.size() + pattern.size())) return 0;
  if (!calls.openDirectory(parent, name, directory)) return 0;
  std::vector<DirectoryEntry> entries;
  if (!calls.findEntries(directory, pattern, entries)) return 0;

  const bool reset = (flags & RemoveResetAttributes) != 0;
  // Before its entries go rather than after: a POSIX directory must be
  // writable for them to be unlinked.
  if (reset) calls.makeDirectoryNormal(directory);
  for (const DirectoryEntry& entry : entries) {
    if (!FitsPathRoom(directory.text.size() + entry.name.size())) continue;
    switch (ChooseEntryStep(entry, flags)) {
      case EntryStep::Leave:
        break;
      case EntryStep::Descend: {
        WalkedDirectory child(directory.text + entry.name + kSeparator);
        RemoveLevel(&directory, entry.name, child, pattern, flags);
        break;
      }
      case EntryStep::RemoveLink:
        calls.removeLink(directory, entry);
        break;
      case EntryStep::DeleteFile:
        if (reset) calls.makeFileNormal(directory, entry.name);
        calls.deleteFile(directory, entry.name);
        break;
    }
  }
  return calls.removeDirectory(parent, name, directory) ? 1 : 0;
}

// Deep enough for any lock a player keeps; a deeper tree is not looked into
// further, which only makes its changes there unseen.
constexpr int kDeepestStampLevel = 8;

void AddToStamp(const DirectoryEntry& entry, TreeStamp& stamp) {
  ++stamp.entries;
  // Wrapping is harmless: the sum is only compared.
  stamp.changeSum = static_cast<std::int64_t>(static_cast<std::uint64_t>(stamp.changeSum) +
                                              static_cast<std::uint64_t>(entry.lastChange));
  if (entry.lastChange > stamp.newestChange) stamp.newestChange = entry.lastChange;
}

void StampLevel(const WalkedDirectory& parent, const std::string& name, int level,
                TreeStamp& stamp) {
  DirectorySystemCalls& calls = DirectorySystem();
  WalkedDirectory directory(parent.text + name + kSeparator);
  if (!calls.openDirectory(&parent, name, directory)) return;
  std::vector<DirectoryEntry> entries;
  if (!calls.findEntries(directory, kEveryEntry, entries)) return;
  for (const DirectoryEntry& entry : entries) {
    // ".." changes with the parent, which is not the entry's own.
    if (entry.name == ".." || entry.name == ".") continue;
    AddToStamp(entry, stamp);
    if (entry.isDirectory && !entry.isLink && level < kDeepestStampLevel) {
      StampLevel(directory, entry.name, level + 1, stamp);
    }
  }
}

bool InUseLevel(const WalkedDirectory* parent, const std::string& name, WalkedDirectory& directory,
                int level) {
  DirectorySystemCalls& calls = DirectorySystem();
  if (!calls.openDirectory(parent, name, directory)) return false;
  std::vector<DirectoryEntry> entries;
  if (!calls.findEntries(directory, kEveryEntry, entries)) return false;
  for (const DirectoryEntry& entry : entries) {
    if (entry.name == "." || entry.name == ".." || entry.isLink) continue;
    if (!FitsPathRoom(directory.text.size() + entry.name.size())) continue;
    if (entry.isDirectory) {
      if (level >= kDeepestStampLevel) continue;
      WalkedDirectory child(directory.text + entry.name + kSeparator);
      if (InUseLevel(&directory, entry.name, child, level + 1)) return true;
    } else if (calls.fileInUse(directory, entry.name)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool FileInUseBelow(const std::string& directory) {
  if (directory.empty() || HoldsNul(directory)) return false;
  WalkedDirectory top(directory.back() == kSeparator ? directory : directory + kSeparator);
  return InUseLevel(nullptr, directory, top, 0);
}

std::optional<TreeStamp> StampOfEntry(const std::string& directory, const std::string& name) {
  if (directory.empty() || HoldsNul(directory) || !IsNamePattern(name) ||
      name.find_first_of("*?") != std::string::npos) {
    return std::nullopt;
  }
  DirectorySystemCalls& calls = DirectorySystem();
  WalkedDirectory top(directory.back() == kSeparator ? directory : directory + kSeparator);
  if (!FitsPathRoom(top.text.size() + name.size())) return std::nullopt;
  if (!calls.openDirectory(nullptr, directory, top)) return std::nullopt;
  std::vector<DirectoryEntry> entries;
  if (!calls.findEntries(top, name, entries)) return std::nullopt;
  for (const DirectoryEntry& entry : entries) {
    // The search matches letters of either case; the name is exact.
    if (entry.name != name) continue;
    TreeStamp stamp;
    AddToStamp(entry, stamp);
    if (entry.isDirectory && !entry.isLink) StampLevel(top, entry.name, 1, stamp);
    return stamp;
  }
  return std::nullopt;
}

std::int32_t MakeDirectory(const std::string& path) {
  std::string name = path;
  while (!name.empty() && IsTrailingFiller(name.back())) name.pop_back();
  if (name.empty() || HoldsNul(name) || !FitsPathRoom(name.size())) return 0;
  return DirectorySystem().createDirectory(name) ? 1 : 0;
}

std::int32_t RemoveDirectoryTree(const std::string& path, const std::string& pattern,
                                 std::uint32_t flags) {
  if (path.empty() || HoldsNul(path)) return 0;
  const std::string effectivePattern = pattern.empty() ? kEveryEntry : pattern;
  if (!IsNamePattern(effectivePattern)) return 0;
  WalkedDirectory top(path.back() == kSeparator ? path : path + kSeparator);
  return RemoveLevel(nullptr, path, top, effectivePattern, flags);
}
