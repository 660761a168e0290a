// Dialog services: the program's whole user interface. Message boxes and the
// system's open and save file dialogs, shown modally on the calling thread;
// each call returns when the user has closed its dialog. Every text result
// is a value the caller owns.
//
// What is shown is display text, made by the caller: the program's own
// texts with ShownText, file names with ShownFileName (platform/
// shown_text.h). That holds for a box's title and text, a file dialog's
// title and the display texts of its filter (the filter is passed whole
// through ShownText; its patterns are ASCII). Windows-1252 on Windows,
// UTF-8 on Linux, where a text that is no valid UTF-8 is still shown, with
// replacement characters. Paths (the initial path, the chosen files) are
// file names as the file system holds them, never converted.
//
// Failures are results: 0 from ShowMessage when no box could be shown, the
// empty text from a file dialog that was cancelled, failed or could not be
// shown. Nothing is ever reported to the user by these services themselves.
//
// In the file dialogs an empty title, initial path or filter counts as
// absent: an absent title leaves the system's own title, an absent initial
// path gives no initial directory and no initial file name, an absent filter
// an empty filter list.
#pragma once

#include <cstdint>
#include <string>

// Sets up the system's dialog machinery; called once at start-up, before the
// first dialog.
void InitDialogServices();

// False when no dialog can be shown at all: on Linux when neither DISPLAY
// nor WAYLAND_DISPLAY is set, or GTK cannot open the display; always true
// on Windows.
bool DialogsCanBeShown();

// A display text, with the line breaks of a box text (CR, or CR LF), on the
// standard error output, for a program that has no display; a line end is
// added when the text has none.
void WriteErrorOutput(const std::string& text);

// flags is the MessageBoxA style (0 one OK button, 4 Yes and No); the result
// is the MessageBoxA result: 1 OK, 6 Yes, 7 No, ...; 0 when no box could be
// shown.
std::int32_t ShowMessage(const std::string& title, const std::string& text,
                         std::uint32_t flags = 0);

// The filter holds pairs of display text and pattern, all separated by "|",
// e.g. "ISO-Image (*.iso)|*.iso|Alle Dateien (*.*)|*.*"; several patterns of
// one pair are separated by ";". filterIndex counts the pairs from 0 and
// names the one selected at first. The result is the full path of the
// chosen file, or the empty text.
std::string ChooseFileToOpen(const std::string& title, const std::string& initialPath,
                             const std::string& filter, std::int32_t filterIndex);
// The save dialog neither asks before an existing file is chosen nor adds an
// extension.
std::string ChooseFileToSave(const std::string& title, const std::string& initialPath,
                             const std::string& filter, std::int32_t filterIndex);

// Options for ChooseFilesToOpen.
inline constexpr std::uint32_t ChooseSeveralFiles = 1;

// With ChooseSeveralFiles the user may choose several files: the result is
// the first of them, NextSelectedFile hands out the others.
std::string ChooseFilesToOpen(const std::string& title, const std::string& initialPath,
                              const std::string& filter, std::int32_t filterIndex,
                              std::uint32_t options);

// The full path of the next file of the last multiple selection; the empty
// text once they are all handed out, and after any later file dialog.
std::string NextSelectedFile();

// The pair of the filter (counted from 0) that was selected when the user
// confirmed the last file dialog; -1 after a cancelled or failed one and
// before the first.
std::int32_t SelectedFilterIndex();
