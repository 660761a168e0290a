// The program's command line and the location of its executable file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One stretch of a command line: where it starts and how long it is.
struct CommandLineStretch {
  std::size_t start = 0;
  std::size_t length = 0;
};

// The tokenizer over a given command line. The first stretch is the
// program's own name and is never handed out; the parameters are numbered
// from 0. FindParameter gives the stretch of parameter `cursor` and moves
// the cursor on by one, or nothing (cursor unchanged) when there is none.
std::optional<CommandLineStretch> FindParameter(std::string_view commandLine, std::int32_t& cursor);

// The parameters of this process's command line, through one process-wide
// cursor that starts at 0. A missing parameter is the empty text.
std::string NextProgramParameter();
std::string ParameterAt(std::int32_t index);  // index >= 0 moves the cursor there first
std::int32_t ParameterCount();

// Every parameter of a command line, in order, as FindParameter hands them out.
std::vector<std::string> ParametersOfCommandLine(std::string_view commandLine);

// The parameters of this process, program name left out, each exactly as
// the program was given it: on Windows the stretches of its one command
// line; on Linux the arguments themselves, which no joining into one line
// could give back (an argument that holds both a blank and a quote, say).
std::vector<std::string> ProgramParameters();

// The command line of this process as one text, program name first. On
// Linux the arguments are joined with blanks, each one that holds a blank
// (or is empty) enclosed in double quotes.
std::string ProgramCommandLine();

// The full path of the program's executable file, however long; empty when
// it cannot be had.
std::string ProgramFilePath();

// Where a program that lies in programDirectory (ending with a separator)
// keeps its template and where its file dialog starts; both end with a
// separator. A program run from wherever it was put (a build tree, an
// unpacked folder, any folder on Windows) keeps its template beside itself
// and starts there. On Linux a program started from the directory it was
// installed to keeps its template per user in
// $XDG_CONFIG_HOME/trennwick/ (made with mode 0700, and its parents, when
// missing; a folder that cannot be made shows later as a template that
// cannot be written) and starts in the user's download folder, else in
// the home folder.
struct ProgramPlaces {
  std::string templateDirectory;
  std::string startDirectory;
};
ProgramPlaces PlacesOfProgram(const std::string& programDirectory);

// True when both paths name the same directory text, trailing separators
// aside; an empty path names none.
bool IsSameDirectory(std::string_view first, std::string_view second);

// The directory part of a path up to and including its last "\" or "/"
// (the scan stops at the first "|"); one leading double quote is skipped.
// The empty text when the path holds no separator.
std::string DirectoryPart(std::string_view path);
