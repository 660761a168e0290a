// What the launch sequence needs of the world besides files: the user's
// answers, the started player, directories, the clock, the command line
// and the program's location. The program wires in the real services;
// tests script the answers and record what was shown and launched.
#pragma once

#include <cstdint>
#include <string>

#include "platform/command_line.h"
#include "platform/file_kind.h"
#include "platform/text_utilities.h"

class LauncherServices {
 public:
  virtual ~LauncherServices() = default;

  // Starts the launcher and dialog services; called once, after the
  // channel table is set up and before anything else.
  virtual void StartServices() = 0;

  virtual std::string NextProgramParameter() = 0;
  virtual DateValue CurrentDateValue() = 0;
  virtual std::string ProgramFilePath() = 0;
  // The directory below which each run makes its temporary directory,
  // ending with a separator.
  virtual std::string TemporaryRoot() = 0;
  // Where the template lies and where the image dialog starts, for the
  // program in programDirectory.
  virtual ProgramPlaces PlacesOfProgram(const std::string& programDirectory) = 0;

  // False when no box or dialog can be shown at all (no display).
  virtual bool CanShowDialogs() = 0;
  // A display text on the error output, for a run that cannot show boxes.
  virtual void WriteErrorOutput(const std::string& text) = 0;

  // Titles and texts are display texts (ShownText, ShownFileName). The
  // message box result: 1 OK, 6 Yes, 7 No; 0 when no box could be shown.
  virtual std::int32_t ShowMessage(const std::string& title, const std::string& text,
                                   std::uint32_t flags) = 0;
  // The full path of the chosen file, or the empty text.
  virtual std::string ChooseFileToOpen(const std::string& title, const std::string& initialPath,
                                       const std::string& filter, std::int32_t filterIndex) = 0;

  // Nonzero when the directory was created.
  virtual std::int32_t MakeDirectory(const std::string& path) = 0;
  // Nonzero when the directory itself was removed.
  virtual std::int32_t RemoveDirectoryTree(const std::string& path, const std::string& pattern,
                                           std::uint32_t flags) = 0;

  // 0 when nothing could be started or opened.
  virtual std::intptr_t LaunchProgram(const std::string& program, const std::string& parameters,
                                      const std::string& directory, std::uint32_t flags) = 0;
  virtual void Pause(std::uint32_t milliseconds) = 0;
  // Milliseconds from a fixed start that never goes back, for waits.
  virtual std::int64_t ElapsedMilliseconds() = 0;

  // What the path names (links followed).
  virtual FileKind KindOfFile(const std::string& path) = 0;
};
