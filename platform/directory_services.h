// Directory services: create one directory, and remove a directory with the
// entries in it that match a pattern. Neither operation shows anything; the
// result is the whole report, 0 for failure and nonzero for success.
//
// A path that does not fit the system's room for paths (260 characters on
// Windows; Linux has none) is refused, never cut, and the removal never
// follows a link: a symbolic link or junction inside the tree is removed as
// a link, and a tree named by one is left alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// RemoveDirectoryTree flags; other bits are ignored.
// Subdirectories that the pattern matches are removed the same way first.
inline constexpr std::uint32_t RemoveRecursive = 1;
// Each file, and each directory, is made writable before it is removed, so
// that a read-only file does not keep its directory alive.
inline constexpr std::uint32_t RemoveResetAttributes = 2;

// Creates the last directory of `path`, read without its trailing blanks,
// backslashes and slashes. Nonzero when created; 0 when the path is empty
// after that, the directory exists, its parent is missing, or the system
// refuses.
std::int32_t MakeDirectory(const std::string& path);

// Deletes the files in `path` that match `pattern` ("*.*", every entry, when
// empty), with RemoveRecursive the matching subdirectories the same way, and
// then the directory itself. Nonzero when the directory itself was removed.
// When nothing matches, nothing is touched and 0 is the result, even for an
// empty directory. What cannot be deleted stays, and the walk goes on.
std::int32_t RemoveDirectoryTree(const std::string& path, const std::string& pattern,
                                 std::uint32_t flags = 0);

// What a look at an entry and everything below it saw: how many entries and
// their modification times, folded. Two looks that give equal stamps saw no
// change. Links are counted, never followed.
struct TreeStamp {
  std::int64_t entries = 0;
  std::int64_t changeSum = 0;
  std::int64_t newestChange = 0;
  bool operator==(const TreeStamp&) const = default;
};

// The stamp of the entry `name` in `directory`; nothing when there is no
// such entry.
std::optional<TreeStamp> StampOfEntry(const std::string& directory, const std::string& name);

// True when a file in `directory` or below it is held open by a process in
// a way that keeps it from being deleted (Windows: opened without delete
// sharing). Links are never followed. On Linux an open file never keeps its
// directory, so the answer there is always false.
bool FileInUseBelow(const std::string& directory);
