#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>

#include <cstddef>

#include "platform/dialogs.h"
#include "platform/dialogs_system.h"

namespace {

// The record's size without its last three members (pvReserved,
// dwReserved, FlagsEx), as OPENFILENAME_SIZE_VERSION_400A gives it; spelled
// out because that macro is no constant expression.
constexpr DWORD kOpenFileNameSize =
    offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(OPENFILENAMEA::lpTemplateName);
static_assert(sizeof(void*) != 4 || kOpenFileNameSize == 76);
static_assert(kOpenFileNameSize < sizeof(OPENFILENAMEA));

static_assert(kFileDialogFlags ==
              (OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY));
static_assert(kFileDialogAllowMultiSelect == OFN_ALLOWMULTISELECT);

HWND AsWindow(DialogWindow window) {
  return static_cast<HWND>(window);
}

void Initialize() {
  InitCommonControls();
  CoInitialize(nullptr);
}

DialogWindow ForegroundWindow() {
  return GetForegroundWindow();
}

std::uint32_t WindowThreadProcessId(DialogWindow window, std::uint32_t* processId) {
  DWORD process = 0;
  const DWORD thread = GetWindowThreadProcessId(AsWindow(window), &process);
  if (processId != nullptr) *processId = process;
  return thread;
}

std::uint32_t CurrentProcessId() {
  return GetCurrentProcessId();
}

std::uint32_t CurrentThreadId() {
  return GetCurrentThreadId();
}

struct WindowWalk {
  WindowVisitor visit;
  void* context;
};

BOOL CALLBACK VisitWindow(HWND window, LPARAM value) {
  const auto* walk = reinterpret_cast<const WindowWalk*>(value);
  return walk->visit(window, walk->context) ? TRUE : FALSE;
}

void EnumerateWindows(WindowVisitor visit, void* context) {
  WindowWalk walk{visit, context};
  EnumWindows(VisitWindow, reinterpret_cast<LPARAM>(&walk));
}

bool IsVisible(DialogWindow window) {
  return IsWindowVisible(AsWindow(window)) != FALSE;
}

bool IsEnabled(DialogWindow window) {
  return IsWindowEnabled(AsWindow(window)) != FALSE;
}

void Enable(DialogWindow window, bool enable) {
  EnableWindow(AsWindow(window), enable ? TRUE : FALSE);
}

std::int32_t ShowMessageBox(DialogWindow owner, const char* text, const char* title,
                            std::uint32_t flags) {
  return MessageBoxA(AsWindow(owner), text, title, flags);
}

bool RunFileDialogOfSystem(FileDialogRecord* record, bool save) {
  OPENFILENAMEA dialog;
  ZeroMemory(&dialog, sizeof dialog);
  dialog.lStructSize = kOpenFileNameSize;
  dialog.hwndOwner = AsWindow(record->owner);
  dialog.lpstrFilter = record->filter;
  dialog.nFilterIndex = record->filterIndex;
  dialog.lpstrFile = record->file;
  dialog.nMaxFile = record->maxFile;
  dialog.lpstrInitialDir = record->initialDir;
  dialog.lpstrTitle = record->title;
  dialog.Flags = record->flags;
  const BOOL chosen = save ? GetSaveFileNameA(&dialog) : GetOpenFileNameA(&dialog);
  record->filterIndex = dialog.nFilterIndex;
  return chosen != FALSE;
}

bool OpenFileName(FileDialogRecord* record) {
  return RunFileDialogOfSystem(record, false);
}

// A GUI program always has the desktop to show its boxes on.
bool DisplayAvailable() {
  return true;
}

void WriteToStandardError(const char* bytes, std::size_t size) {
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return;  // a GUI program often has none
  while (size > 0) {
    DWORD written = 0;
    const DWORD chunk = size > 0x10000 ? 0x10000 : static_cast<DWORD>(size);
    if (!WriteFile(error, bytes, chunk, &written, nullptr) || written == 0) return;
    bytes += written;
    size -= written;
  }
}

bool SaveFileName(FileDialogRecord* record) {
  return RunFileDialogOfSystem(record, true);
}

}  // namespace

constexpr DialogSystemCalls kSystemDialogCalls = {
    Initialize,
    ForegroundWindow,
    WindowThreadProcessId,
    CurrentProcessId,
    CurrentThreadId,
    EnumerateWindows,
    IsVisible,
    IsEnabled,
    Enable,
    ShowMessageBox,
    OpenFileName,
    SaveFileName,
    DisplayAvailable,
    WriteToStandardError,
};

DialogSystemCalls dialogSystem = kSystemDialogCalls;
