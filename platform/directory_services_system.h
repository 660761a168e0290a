// The system side of the directory services. The removal walk is written
// once in directory_services.cpp over the calls in this table; each system
// fills it with its own, and a test may point an entry at a failing stand-in
// (restoring the table afterwards).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// One directory of the removal walk. `text` is its path text, ending with
// the path separator. A system that walks by descriptor holds the directory
// open in `descriptor` (-1 when it holds none), so that a directory swapped
// for a link during the walk cannot redirect it; each system's destructor
// releases what it holds.
struct WalkedDirectory {
  std::string text;
  int descriptor = -1;

  explicit WalkedDirectory(std::string directoryText) : text(std::move(directoryText)) {}
  WalkedDirectory(const WalkedDirectory&) = delete;
  WalkedDirectory& operator=(const WalkedDirectory&) = delete;
  ~WalkedDirectory();
};

struct DirectoryEntry {
  std::string name;
  bool isDirectory = false;  // a directory, or a link to one
  bool isLink = false;       // a symbolic link, junction or other reparse point
  // The entry's modification time in the system's own units; only ever
  // compared with another reading of the same entry.
  std::int64_t lastChange = 0;
};

struct DirectorySystemCalls {
  // The longest path text the system is handed, in characters.
  std::size_t pathRoom;
  bool (*createDirectory)(const std::string& path);
  // Opens `name` in `parent`, or the path `name` when `parent` is null, for
  // the walk; `directory.text` is already set. A link is refused.
  bool (*openDirectory)(const WalkedDirectory* parent, const std::string& name,
                        WalkedDirectory& directory);
  // The entries whose names match `pattern`, "." and ".." included when they
  // do, in the system's order. False when none matches.
  bool (*findEntries)(const WalkedDirectory& directory, const std::string& pattern,
                      std::vector<DirectoryEntry>& entries);
  bool (*makeFileNormal)(const WalkedDirectory& directory, const std::string& name);
  // Refuses a read-only file, as the system does on Windows.
  bool (*deleteFile)(const WalkedDirectory& directory, const std::string& name);
  bool (*removeLink)(const WalkedDirectory& directory, const DirectoryEntry& entry);
  bool (*makeDirectoryNormal)(const WalkedDirectory& directory);
  // True when the file `name` is held open so that it cannot be deleted now.
  bool (*fileInUse)(const WalkedDirectory& directory, const std::string& name);
  // Removes the empty directory opened as `name` in `parent`.
  bool (*removeDirectory)(const WalkedDirectory* parent, const std::string& name,
                          const WalkedDirectory& directory);
};

// The table that the directory services call through.
DirectorySystemCalls& DirectorySystem();
