#include "platform/dialogs.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/dialogs_system.h"

std::list<DisabledWindowEntry> DisabledWindowList;

namespace {

// The file-dialog state, one set for the whole process. SelectionBuffer is
// empty while absent; it outlives a dialog only after one that allowed
// several files, for NextSelectedFile.
std::vector<char> SelectionBuffer;
std::size_t SelectionOffset = 0;   // the next name to hand out; 0 when none is left
std::string SelectionDirectory;    // always ends with a separator
std::int32_t LastFilterIndex = 0;  // counted from 1; 0 after a cancel or a failure

// The text that starts at `offset`, up to its NUL or the buffer's end.
std::string_view TextAt(const std::vector<char>& buffer, std::size_t offset) {
  if (offset >= buffer.size()) return {};
  const char* start = buffer.data() + offset;
  const void* end = std::memchr(start, '\0', buffer.size() - offset);
  const std::size_t length =
      end != nullptr ? static_cast<const char*>(end) - start : buffer.size() - offset;
  return std::string_view(start, length);
}

void ReleaseSelectionBuffer() {
  SelectionBuffer.clear();
  SelectionBuffer.shrink_to_fit();
}

bool DisableWindowOfThread(DialogWindow window, void* /*context*/) {
  const DialogSystemCalls& system = dialogSystem;
  const std::uint32_t thread = system.currentThreadId();
  if (system.windowThreadProcessId(window, nullptr) != thread) return true;
  if (!system.isWindowVisible(window)) return true;
  if (!system.isWindowEnabled(window)) return true;
  if (system.foregroundWindow() == window) return true;
  // The entry comes first: a window that could not be recorded would never
  // be enabled again, so it is left enabled.
  try {
    DisabledWindowList.push_front(DisabledWindowEntry{thread, window});
  } catch (const std::bad_alloc&) {
    return true;
  }
  system.enableWindow(window, false);
  return true;
}

// Keeps the calling thread's windows disabled for as long as it lives.
class OwnWindowsDisabled {
 public:
  OwnWindowsDisabled() { DisableOwnWindows(true); }
  ~OwnWindowsDisabled() { DisableOwnWindows(false); }
  OwnWindowsDisabled(const OwnWindowsDisabled&) = delete;
  OwnWindowsDisabled& operator=(const OwnWindowsDisabled&) = delete;
};

// The result of a dialog that allowed several files; sets up the rest of
// the selection for NextSelectedFile.
std::string TakeMultipleSelection() {
  const std::string_view first = TextAt(SelectionBuffer, 0);
  const std::size_t offset = first.size() + 1;
  const std::string_view firstName = TextAt(SelectionBuffer, offset);
  if (firstName.empty()) {
    // One file: the first text is its full path.
    std::string path(first);
    SelectionBuffer[0] = '\0';
    SelectionOffset = 0;
    return path;
  }
  SelectionDirectory.assign(first);
  if (SelectionDirectory.empty() || SelectionDirectory.back() != system_facts::kPathSeparator) {
    SelectionDirectory += system_facts::kPathSeparator;
  }
  SelectionOffset = offset + firstName.size() + 1;
  return SelectionDirectory + std::string(firstName);
}

}  // namespace

void DisableOwnWindows(bool disable) {
  const DialogSystemCalls& system = dialogSystem;
  if (disable) {
    system.enumerateWindows(DisableWindowOfThread, nullptr);
    return;
  }
  const std::uint32_t thread = system.currentThreadId();
  for (auto entry = DisabledWindowList.begin(); entry != DisabledWindowList.end();) {
    if (entry->thread != thread) {
      ++entry;
      continue;
    }
    system.enableWindow(entry->window, true);
    entry = DisabledWindowList.erase(entry);
  }
}

DialogWindow DialogOwnerWindow() {
  const DialogSystemCalls& system = dialogSystem;
  const DialogWindow foreground = system.foregroundWindow();
  if (foreground == nullptr) return nullptr;
  std::uint32_t process = 0;
  system.windowThreadProcessId(foreground, &process);
  if (process != system.currentProcessId()) return nullptr;
  return foreground;
}

bool IsValidFileName(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 1 && byte <= 31) return false;
    if (std::strchr("\"*/:<>?\\|", c) != nullptr) return false;  // also finds a NUL byte
  }
  return true;
}

std::string LinesBrokenAtLineFeeds(std::string_view text) {
  std::string lines;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') {
      lines.push_back(text[i]);
    } else if (i + 1 >= text.size() || text[i + 1] != '\n') {
      lines.push_back('\n');
    }
  }
  return lines;
}

std::string FilterList(std::string_view filter) {
  std::string list(filter);
  std::replace(list.begin(), list.end(), '|', '\0');
  // The text's own NUL and this one end the list with two NULs.
  list.push_back('\0');
  return list;
}

std::vector<FilterPair> FilterPairs(const char* list) {
  std::vector<FilterPair> pairs;
  if (list == nullptr) return pairs;
  while (*list != '\0') {
    FilterPair pair;
    pair.displayText = list;
    list += pair.displayText.size() + 1;
    pair.patterns = list;  // a display text without patterns ends the list
    if (pair.patterns.empty()) break;
    list += pair.patterns.size() + 1;
    pairs.push_back(std::move(pair));
  }
  return pairs;
}

InitialPathSplit SplitInitialPath(std::string_view path, char separator) {
  InitialPathSplit split;
  const std::size_t last = path.rfind(separator);
  std::string_view candidate = path;
  if (last != std::string_view::npos && last > 0) {
    split.directory.assign(path.substr(0, last));
    candidate = path.substr(last + 1);
  }
  // The name must also fit, with its NUL, into a single selection's room.
  if (IsValidFileName(candidate) && candidate.size() < kSingleSelectionSize) {
    split.fileName.assign(candidate);
  }
  return split;
}

std::string SelectionFromPaths(const std::vector<std::string>& paths, char separator) {
  std::string selection;
  if (paths.empty()) return std::string(2, '\0');
  if (paths.size() == 1) {
    selection = paths.front();
    selection.append(2, '\0');
    return selection;
  }
  // The longest directory, up to and including a separator, that holds
  // every path.
  std::size_t common = paths.front().rfind(separator);
  common = common == std::string::npos ? 0 : common + 1;
  for (const std::string& path : paths) {
    std::size_t same = 0;
    while (same < common && same < path.size() && path[same] == paths.front()[same]) ++same;
    while (same > 0 && paths.front()[same - 1] != separator) --same;
    // A path that is itself the directory keeps a name of its own.
    if (same == path.size() && same > 0) {
      --same;
      while (same > 0 && paths.front()[same - 1] != separator) --same;
    }
    common = same;
  }
  // A root ("/", "D:\") keeps its separator; any other directory is
  // written without.
  std::string_view directory(paths.front().data(), common);
  if (!directory.empty() && directory.find(separator) != directory.size() - 1) {
    directory.remove_suffix(1);
  }
  selection.assign(directory);
  selection.push_back('\0');
  for (const std::string& path : paths) {
    selection.append(path, common);
    selection.push_back('\0');
  }
  selection.push_back('\0');
  return selection;
}

std::string RunFileDialog(const std::string& title, const std::string& initialPath,
                          const std::string& filter, std::int32_t filterIndex, bool save,
                          std::uint32_t options) {
  const DialogSystemCalls& system = dialogSystem;
  const bool several = (options & ChooseSeveralFiles) != 0;
  LastFilterIndex = 0;
  SelectionOffset = 0;
  ReleaseSelectionBuffer();
  std::string result;
  try {
    SelectionBuffer.assign(several ? kMultipleSelectionSize : kSingleSelectionSize, '\0');
    const std::string filterList = FilterList(filter);
    InitialPathSplit split;
    if (!initialPath.empty()) {
      split = SplitInitialPath(initialPath);
      std::copy(split.fileName.begin(), split.fileName.end(), SelectionBuffer.begin());
    }

    FileDialogRecord record;
    record.owner = DialogOwnerWindow();
    record.filter = filterList.c_str();
    // The caller counts the pairs from 0, the system from 1.
    record.filterIndex = static_cast<std::uint32_t>(filterIndex) + 1u;
    record.file = SelectionBuffer.data();
    record.maxFile = static_cast<std::uint32_t>(SelectionBuffer.size());
    record.initialDir = initialPath.empty() ? nullptr : split.directory.c_str();
    record.title = title.empty() ? nullptr : title.c_str();
    record.flags = kFileDialogFlags | (several ? kFileDialogAllowMultiSelect : 0u);

    bool chosen;
    {
      OwnWindowsDisabled disabled;
      chosen = save ? system.getSaveFileName(&record) : system.getOpenFileName(&record);
    }
    if (chosen) {
      LastFilterIndex = static_cast<std::int32_t>(record.filterIndex);
      result = several ? TakeMultipleSelection() : std::string(TextAt(SelectionBuffer, 0));
    }
  } catch (const std::bad_alloc&) {
    LastFilterIndex = 0;
    SelectionOffset = 0;
    result.clear();
  }
  if (!several) ReleaseSelectionBuffer();
  return result;
}

void InitDialogServices() {
  dialogSystem.initialize();
}

bool DialogsCanBeShown() {
  return dialogSystem.displayAvailable();
}

void WriteErrorOutput(const std::string& text) {
  std::string lines = LinesBrokenAtLineFeeds(text);
  if (lines.empty() || lines.back() != '\n') lines.push_back('\n');
  dialogSystem.writeErrorOutput(lines.data(), lines.size());
}

std::int32_t ShowMessage(const std::string& title, const std::string& text, std::uint32_t flags) {
  OwnWindowsDisabled disabled;
  const DialogWindow owner = DialogOwnerWindow();
  return dialogSystem.messageBox(owner, text.c_str(), title.c_str(), flags);
}

std::string ChooseFileToOpen(const std::string& title, const std::string& initialPath,
                             const std::string& filter, std::int32_t filterIndex) {
  return RunFileDialog(title, initialPath, filter, filterIndex, false, 0);
}

std::string ChooseFileToSave(const std::string& title, const std::string& initialPath,
                             const std::string& filter, std::int32_t filterIndex) {
  return RunFileDialog(title, initialPath, filter, filterIndex, true, 0);
}

std::string ChooseFilesToOpen(const std::string& title, const std::string& initialPath,
                              const std::string& filter, std::int32_t filterIndex,
                              std::uint32_t options) {
  return RunFileDialog(title, initialPath, filter, filterIndex, false, options);
}

std::string NextSelectedFile() {
  if (SelectionOffset == 0) return std::string();
  const std::string_view name = TextAt(SelectionBuffer, SelectionOffset);
  if (name.empty()) {
    SelectionOffset = 0;
    ReleaseSelectionBuffer();
    return std::string();
  }
  SelectionOffset += name.size() + 1;
  try {
    return SelectionDirectory + std::string(name);
  } catch (const std::bad_alloc&) {
    return std::string();
  }
}

std::int32_t SelectedFilterIndex() {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(LastFilterIndex) - 1u);
}
