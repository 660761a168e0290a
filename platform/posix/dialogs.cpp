// The dialogs as GTK 3 windows. The program has no window of its own and
// GTK cannot disable foreign toplevels, so every dialog is made modal and no
// window is ever disabled: the window calls report none, and the owner of a
// dialog is always none.
#include <errno.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dialogs.h"
#include "platform/dialogs_system.h"

namespace {

struct GFree {
  void operator()(void* memory) const { g_free(memory); }
};
using GText = std::unique_ptr<gchar, GFree>;

// gtk_init_check runs once; without a display every dialog fails.
bool GtkReady() {
  static int state = 0;  // 0 not tried, 1 ready, -1 no display
  if (state == 0) {
    state = gtk_init_check(nullptr, nullptr) ? 1 : -1;
    // Each program's boxes carry its icon of the theme, which has the
    // program's name ("trennwick", "trennwick-player").
    if (state > 0) gtk_window_set_default_icon_name(g_get_prgname());
  }
  return state > 0;
}

// GTK shows UTF-8 only. The callers give display texts; one that is
// nonetheless no valid UTF-8 is shown with replacement characters rather
// than dropped or left to GTK's warnings.
std::string ValidUtf8(std::string_view text) {
  const GText valid(g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
  return std::string(valid.get());
}

// GTK's own translation of a standard label such as "_Cancel".
const char* GtkLabel(const char* label) {
  return g_dgettext("gtk30", label);
}

std::string WithoutMnemonic(const char* label) {
  std::string text(label);
  const std::size_t mark = text.find('_');
  if (mark != std::string::npos) text.erase(mark, 1);
  return text;
}

// Takes the window off the screen before the caller goes on: the program
// may wait for a long time next, and a dialog must not linger meanwhile.
void DestroyAndFlush(GtkWidget* window) {
  gtk_widget_destroy(window);
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
  if (GdkDisplay* display = gdk_display_get_default()) gdk_display_sync(display);
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

class DialogWidget {
 public:
  explicit DialogWidget(GtkWidget* widget) : widget_(widget) {}
  ~DialogWidget() {
    if (widget_ != nullptr) DestroyAndFlush(widget_);
  }
  DialogWidget(const DialogWidget&) = delete;
  DialogWidget& operator=(const DialogWidget&) = delete;
  GtkWidget* get() const { return widget_; }
  GtkDialog* dialog() const { return GTK_DIALOG(widget_); }
  GtkWindow* window() const { return GTK_WINDOW(widget_); }

 private:
  GtkWidget* widget_;
};

// A dialog with no parent of its own: centred, modal, and in the task bar,
// where the user finds it as the program's only window.
void PlaceAsProgramWindow(GtkWindow* window) {
  gtk_window_set_modal(window, TRUE);
  gtk_window_set_position(window, GTK_WIN_POS_CENTER);
  gtk_window_set_skip_taskbar_hint(window, FALSE);
}

// ----- message boxes

constexpr std::int32_t kIdOk = 1;
constexpr std::int32_t kIdCancel = 2;
constexpr std::int32_t kIdAbort = 3;
constexpr std::int32_t kIdRetry = 4;
constexpr std::int32_t kIdIgnore = 5;
constexpr std::int32_t kIdYes = 6;
constexpr std::int32_t kIdNo = 7;
constexpr std::int32_t kIdTryAgain = 10;
constexpr std::int32_t kIdContinue = 11;

struct BoxButton {
  std::int32_t result;
  const char* label;
};

// The buttons of each MessageBoxA type (the style's low four bits) in their
// order on screen, and the result when the box is closed without a button.
struct BoxType {
  BoxButton buttons[3];
  std::int32_t whenClosed;
};

constexpr BoxType kBoxTypes[] = {
    {{{kIdOk, "_OK"}}, kIdOk},
    {{{kIdOk, "_OK"}, {kIdCancel, "_Cancel"}}, kIdCancel},
    {{{kIdAbort, "_Abort"}, {kIdRetry, "_Retry"}, {kIdIgnore, "_Ignore"}}, kIdAbort},
    {{{kIdYes, "_Yes"}, {kIdNo, "_No"}, {kIdCancel, "_Cancel"}}, kIdCancel},
    {{{kIdYes, "_Yes"}, {kIdNo, "_No"}}, kIdNo},
    {{{kIdRetry, "_Retry"}, {kIdCancel, "_Cancel"}}, kIdCancel},
    {{{kIdCancel, "_Cancel"}, {kIdTryAgain, "_Try Again"}, {kIdContinue, "_Continue"}}, kIdCancel},
};

constexpr std::uint32_t kBoxTypeMask = 0xF;
constexpr std::uint32_t kBoxIconMask = 0xF0;
constexpr std::uint32_t kBoxDefaultButtonMask = 0xF00;

GtkMessageType MessageTypeOf(std::uint32_t flags) {
  switch (flags & kBoxIconMask) {
    case 0x10:
      return GTK_MESSAGE_ERROR;  // MB_ICONHAND
    case 0x20:
      return GTK_MESSAGE_QUESTION;  // MB_ICONQUESTION
    case 0x30:
      return GTK_MESSAGE_WARNING;  // MB_ICONEXCLAMATION
    case 0x40:
      return GTK_MESSAGE_INFO;  // MB_ICONASTERISK
    default:
      return GTK_MESSAGE_OTHER;
  }
}

struct MnemonicKey {
  guint keyval;
  std::int32_t result;
};

struct BoxKeys {
  MnemonicKey keys[3];
  int count;
};

// As in a Windows dialog box, a button's underlined letter answers the box
// without Alt.
gboolean AnswerByMnemonic(GtkWidget* widget, GdkEventKey* event, gpointer data) {
  constexpr guint kModifiers = GDK_CONTROL_MASK | GDK_MOD1_MASK | GDK_SUPER_MASK;
  if ((event->state & kModifiers) != 0) return FALSE;
  const auto* keys = static_cast<const BoxKeys*>(data);
  const guint key = gdk_keyval_to_lower(event->keyval);
  for (int i = 0; i < keys->count; ++i) {
    if (keys->keys[i].keyval == key) {
      gtk_dialog_response(GTK_DIALOG(widget), keys->keys[i].result);
      return TRUE;
    }
  }
  return FALSE;
}

guint MnemonicKeyval(const char* label) {
  const char* mark = std::strchr(label, '_');
  if (mark == nullptr || mark[1] == '\0') return 0;
  return gdk_unicode_to_keyval(g_unichar_tolower(g_utf8_get_char(mark + 1)));
}

// A message box grows to show its whole title, as on Windows; the window
// manager would otherwise cut a title longer than the text.
void WideEnoughForTitle(GtkWidget* box, const std::string& caption) {
  constexpr int kFrameButtonsWidth = 120;  // the frame's icon and buttons, roughly
  PangoLayout* layout = gtk_widget_create_pango_layout(box, caption.c_str());
  int width = 0;
  pango_layout_get_pixel_size(layout, &width, nullptr);
  g_object_unref(layout);
  gtk_widget_set_size_request(box, width + kFrameButtonsWidth, -1);
}

// Users copy error texts out of boxes, paths above all.
void TextSelectable(GtkWidget* box) {
  GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(box));
  GList* children = gtk_container_get_children(GTK_CONTAINER(area));
  for (GList* child = children; child != nullptr; child = child->next) {
    // Set as a property: the GtkLabel type is hidden here by the helper above.
    if (GTK_IS_LABEL(child->data)) g_object_set(child->data, "selectable", TRUE, nullptr);
  }
  g_list_free(children);
}

std::int32_t ShowBox(const char* text, const char* title, std::uint32_t flags) {
  if ((flags & kBoxTypeMask) >= std::size(kBoxTypes)) return 0;
  if (!GtkReady()) return 0;
  const BoxType& type = kBoxTypes[flags & kBoxTypeMask];
  const std::string message = ValidUtf8(LinesBrokenAtLineFeeds(text));
  BoxKeys keys{};  // outlives the box, whose key handler reads it
  DialogWidget box(gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, MessageTypeOf(flags),
                                          GTK_BUTTONS_NONE, "%s", message.c_str()));
  const std::string caption = ValidUtf8(title);
  gtk_window_set_title(box.window(), caption.c_str());
  PlaceAsProgramWindow(box.window());
  WideEnoughForTitle(box.get(), caption);
  TextSelectable(box.get());

  GtkWidget* buttons[3] = {};
  for (const BoxButton& button : type.buttons) {
    if (button.label == nullptr) break;
    const char* label = GtkLabel(button.label);
    buttons[keys.count] = gtk_dialog_add_button(box.dialog(), label, button.result);
    keys.keys[keys.count] = MnemonicKey{MnemonicKeyval(label), button.result};
    ++keys.count;
  }
  std::size_t first = (flags & kBoxDefaultButtonMask) >> 8;
  if (first >= static_cast<std::size_t>(keys.count)) first = 0;
  gtk_dialog_set_default_response(box.dialog(), keys.keys[first].result);
  gtk_widget_grab_focus(buttons[first]);
  g_signal_connect(box.get(), "key-press-event", G_CALLBACK(AnswerByMnemonic), &keys);

  const gint response = gtk_dialog_run(box.dialog());
  return response > 0 ? response : type.whenClosed;
}

std::int32_t MessageBoxOfGtk(DialogWindow /*owner*/, const char* text, const char* title,
                             std::uint32_t flags) {
  try {
    return ShowBox(text, title, flags);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

// ----- file dialogs

// The patterns of one filter pair, folded for a comparison that ignores
// case as Windows does ("*.iso" also matches "DEBIAN.ISO").
struct FilterPatterns {
  std::vector<std::string> folded;
};

gboolean MatchesPatterns(const GtkFileFilterInfo* info, gpointer data) {
  if (info->display_name == nullptr) return FALSE;
  const GText name(g_utf8_casefold(info->display_name, -1));
  for (const std::string& pattern : static_cast<const FilterPatterns*>(data)->folded) {
    // "*.*" matches every name, also one without a dot, as on Windows.
    if (pattern == "*.*") return TRUE;
    if (g_pattern_match_simple(pattern.c_str(), name.get())) return TRUE;
  }
  return FALSE;
}

void ReleasePatterns(gpointer data) {
  delete static_cast<FilterPatterns*>(data);
}

GtkFileFilter* FilterOfPair(const FilterPair& pair) {
  auto patterns = std::make_unique<FilterPatterns>();
  std::string_view rest = pair.patterns;
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find(';'), rest.size());
    std::string_view pattern = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    while (!pattern.empty() && pattern.front() == ' ') pattern.remove_prefix(1);
    while (!pattern.empty() && pattern.back() == ' ') pattern.remove_suffix(1);
    if (pattern.empty()) continue;
    const std::string utf8 = ValidUtf8(pattern);
    const GText folded(g_utf8_casefold(utf8.c_str(), -1));
    patterns->folded.emplace_back(folded.get());
  }
  GtkFileFilter* filter = gtk_file_filter_new();
  gtk_file_filter_set_name(filter, ValidUtf8(pair.displayText).c_str());
  gtk_file_filter_add_custom(filter, GTK_FILE_FILTER_DISPLAY_NAME, MatchesPatterns,
                             patterns.release(), ReleasePatterns);
  return filter;
}

struct GSListOfTexts {
  void operator()(GSList* list) const { g_slist_free_full(list, g_free); }
};

// The chosen files as full paths in the file system's encoding, unchanged.
std::vector<std::string> ChosenPaths(GtkFileChooser* chooser) {
  std::vector<std::string> paths;
  const std::unique_ptr<GSList, GSListOfTexts> files(gtk_file_chooser_get_filenames(chooser));
  for (const GSList* file = files.get(); file != nullptr; file = file->next) {
    paths.emplace_back(static_cast<const char*>(file->data));
  }
  return paths;
}

void SetInitialFile(GtkFileChooser* chooser, const FileDialogRecord& record, bool save) {
  const bool hasDirectory = record.initialDir != nullptr && record.initialDir[0] != '\0';
  if (hasDirectory) gtk_file_chooser_set_current_folder(chooser, record.initialDir);
  if (record.file == nullptr || record.file[0] == '\0') return;
  if (save) {
    const GText name(g_filename_display_name(record.file));
    gtk_file_chooser_set_current_name(chooser, name.get());
    return;
  }
  const GText current(g_get_current_dir());
  const GText path(
      g_build_filename(hasDirectory ? record.initialDir : current.get(), record.file, nullptr));
  gtk_file_chooser_set_filename(chooser, path.get());
}

bool ChooseWithGtk(FileDialogRecord* record, bool save) {
  if (!GtkReady()) return false;
  const char* acceptLabel = GtkLabel(save ? "_Save" : "_Open");
  const std::string title =
      record->title != nullptr ? ValidUtf8(record->title) : WithoutMnemonic(acceptLabel);
  DialogWidget dialog(gtk_file_chooser_dialog_new(
      title.c_str(), nullptr, save ? GTK_FILE_CHOOSER_ACTION_SAVE : GTK_FILE_CHOOSER_ACTION_OPEN,
      GtkLabel("_Cancel"), GTK_RESPONSE_CANCEL, acceptLabel, GTK_RESPONSE_ACCEPT, nullptr));
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog.get());
  PlaceAsProgramWindow(dialog.window());
  gtk_dialog_set_default_response(dialog.dialog(), GTK_RESPONSE_ACCEPT);
  gtk_file_chooser_set_local_only(chooser, TRUE);
  gtk_file_chooser_set_do_overwrite_confirmation(chooser, FALSE);
  const bool several = !save && (record->flags & kFileDialogAllowMultiSelect) != 0;
  gtk_file_chooser_set_select_multiple(chooser, several ? TRUE : FALSE);

  std::vector<GtkFileFilter*> filters;
  for (const FilterPair& pair : FilterPairs(record->filter)) {
    filters.push_back(FilterOfPair(pair));
    gtk_file_chooser_add_filter(chooser, filters.back());
  }
  if (!filters.empty()) {
    const std::uint32_t first = record->filterIndex >= 1 && record->filterIndex <= filters.size()
                                    ? record->filterIndex - 1
                                    : 0;
    gtk_file_chooser_set_filter(chooser, filters[first]);
  }
  SetInitialFile(chooser, *record, save);

  if (gtk_dialog_run(dialog.dialog()) != GTK_RESPONSE_ACCEPT) return false;
  const std::vector<std::string> paths = ChosenPaths(chooser);
  if (paths.empty()) return false;
  std::string selection;
  if (several) {
    selection = SelectionFromPaths(paths);
  } else {
    selection = paths.front();
    selection.push_back('\0');
  }
  // A selection that does not fit fails the dialog, as on Windows.
  if (selection.size() > record->maxFile) return false;
  std::memcpy(record->file, selection.data(), selection.size());
  GtkFileFilter* chosen = gtk_file_chooser_get_filter(chooser);
  for (std::size_t i = 0; i < filters.size(); ++i) {
    if (filters[i] == chosen) record->filterIndex = static_cast<std::uint32_t>(i + 1);
  }
  return true;
}

bool OpenFileName(FileDialogRecord* record) {
  try {
    return ChooseWithGtk(record, false);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool SaveFileName(FileDialogRecord* record) {
  try {
    return ChooseWithGtk(record, true);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// ----- the rest of the system

void Initialize() {
  GtkReady();
}

DialogWindow NoWindow() {
  return nullptr;
}

std::uint32_t NoThreadOrProcess(DialogWindow /*window*/, std::uint32_t* processId) {
  if (processId != nullptr) *processId = 0;
  return 0;
}

std::uint32_t CurrentProcessId() {
  return static_cast<std::uint32_t>(getpid());
}

std::uint32_t CurrentThreadId() {
  return static_cast<std::uint32_t>(gettid());
}

void NoWindows(WindowVisitor /*visit*/, void* /*context*/) {}

bool NotVisible(DialogWindow /*window*/) {
  return false;
}

bool NotEnabled(DialogWindow /*window*/) {
  return false;
}

void EnableNothing(DialogWindow /*window*/, bool /*enable*/) {}

bool IsSet(const char* variable) {
  const char* value = g_getenv(variable);
  return value != nullptr && value[0] != '\0';
}

bool DisplayAvailable() {
  // Without either variable GTK would only fail later, in the first dialog.
  if (!IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY")) return false;
  return GtkReady();
}

void WriteToStandardError(const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(STDERR_FILENO, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // nobody reads it; nothing else to tell
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace

constexpr DialogSystemCalls kSystemDialogCalls = {
    Initialize,   NoWindow,     NoThreadOrProcess, CurrentProcessId,     CurrentThreadId,
    NoWindows,    NotVisible,   NotEnabled,        EnableNothing,        MessageBoxOfGtk,
    OpenFileName, SaveFileName, DisplayAvailable,  WriteToStandardError,
};

DialogSystemCalls dialogSystem = kSystemDialogCalls;
