// The system side of the dialog services, and the parts of the unit that
// its tests reach. The unit calls the system only through dialogSystem, a
// table of function pointers that a test may point at stand-ins; restore it
// from kSystemDialogCalls afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system.h"

// A top-level window of the system (an HWND on Windows); nullptr for none.
using DialogWindow = void*;

// What a file dialog is given, field for field the OPENFILENAMEA members
// that the unit sets; the system writes the selection into `file` and the
// chosen filter pair into `filterIndex`.
struct FileDialogRecord {
  DialogWindow owner = nullptr;
  const char* filter = nullptr;   // display text and pattern texts, the list ended by two NULs
  std::uint32_t filterIndex = 0;  // counted from 1
  char* file = nullptr;           // the initial file name, then the selection
  std::uint32_t maxFile = 0;      // bytes in `file`
  const char* initialDir = nullptr;
  const char* title = nullptr;  // nullptr: the system's own title
  std::uint32_t flags = 0;
};

// The record's flags: OFN_EXPLORER, OFN_PATHMUSTEXIST, OFN_NOCHANGEDIR and
// OFN_HIDEREADONLY; OFN_ALLOWMULTISELECT when several files may be chosen.
inline constexpr std::uint32_t kFileDialogFlags = 0x8080C;
inline constexpr std::uint32_t kFileDialogAllowMultiSelect = 0x200;

inline constexpr std::uint32_t kSingleSelectionSize = 260;
inline constexpr std::uint32_t kMultipleSelectionSize = 512000;

// Called for each top-level window; returning false would end the walk.
using WindowVisitor = bool (*)(DialogWindow window, void* context);

struct DialogSystemCalls {
  void (*initialize)();
  DialogWindow (*foregroundWindow)();
  // The creating thread, and its process into *processId.
  std::uint32_t (*windowThreadProcessId)(DialogWindow window, std::uint32_t* processId);
  std::uint32_t (*currentProcessId)();
  std::uint32_t (*currentThreadId)();
  void (*enumerateWindows)(WindowVisitor visit, void* context);
  bool (*isWindowVisible)(DialogWindow window);
  bool (*isWindowEnabled)(DialogWindow window);
  void (*enableWindow)(DialogWindow window, bool enable);
  // 0 when the box cannot be shown.
  std::int32_t (*messageBox)(DialogWindow owner, const char* text, const char* title,
                             std::uint32_t flags);
  // True when the user confirmed a choice.
  bool (*getOpenFileName)(FileDialogRecord* record);
  bool (*getSaveFileName)(FileDialogRecord* record);
  bool (*displayAvailable)();
  void (*writeErrorOutput)(const char* bytes, std::size_t size);
};

extern const DialogSystemCalls kSystemDialogCalls;
extern DialogSystemCalls dialogSystem;

// One window disabled for a dialog, and the thread that disabled it.
struct DisabledWindowEntry {
  std::uint32_t thread = 0;
  DialogWindow window = nullptr;
};

// Newest first; empty except while a dialog is open.
extern std::list<DisabledWindowEntry> DisabledWindowList;

// Nonzero: disables the calling thread's visible, enabled top-level windows
// except the foreground window, and records them. Zero: enables again what
// the calling thread recorded.
void DisableOwnWindows(bool disable);

// The foreground window when it belongs to this process, else none.
DialogWindow DialogOwnerWindow();

bool IsValidFileName(std::string_view text);

// A box text with its CR and CR LF line breaks turned into LF, for GTK and
// the error output, which break lines only there.
std::string LinesBrokenAtLineFeeds(std::string_view text);

// The common body of the three file dialogs.
std::string RunFileDialog(const std::string& title, const std::string& initialPath,
                          const std::string& filter, std::int32_t filterIndex, bool save,
                          std::uint32_t options);

// The filter with every "|" turned into NUL and one more NUL at the end.
std::string FilterList(std::string_view filter);

// The pairs of a list made by FilterList: display text, then pattern text.
struct FilterPair {
  std::string displayText;
  std::string patterns;
};
std::vector<FilterPair> FilterPairs(const char* list);

// The initial directory and file name of a dialog. The name is empty when
// the path gives none that may serve as a file name.
struct InitialPathSplit {
  std::string directory;
  std::string fileName;
};
InitialPathSplit SplitInitialPath(std::string_view path,
                                  char separator = system_facts::kPathSeparator);

// A selection as the system writes it when several files may be chosen:
// one full path followed by two NULs, or the directory followed by the
// names, each ended by NUL, the whole by one more NUL. Full paths that do
// not share one directory are written from their longest common directory,
// the names then holding the rest of each path.
std::string SelectionFromPaths(const std::vector<std::string>& paths,
                               char separator = system_facts::kPathSeparator);
