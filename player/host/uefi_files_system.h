// The system side of the UEFI files: where this system keeps the firmware,
// and the calls that make the private copy, through one table of function
// pointers that a test may point at stand-ins; restore it from
// kSystemUefiFilesCalls afterwards.
#pragma once

#include <string>

#include "player/host/uefi_files.h"

// Where the firmware would lie on this system; FindUefiFirmware checks
// that both files are there.
UefiFirmware UefiFirmwareCandidates(bool secureBoot, const std::string& qemuProgram);

struct UefiFilesSystem {
  // True when `path` is a regular file of the user's, no link, with no second
  // name (Linux).
  bool (*isPlainFile)(const std::string& path);
  // True when `path` is there at all, a dangling link included.
  bool (*nameTaken)(const std::string& path);
  // Creates `target` new (never through a link) with the bytes of `source`;
  // removes it again when the copy fails.
  bool (*copyToNewFile)(const std::string& source, const std::string& target);
};

extern UefiFilesSystem uefiFilesSystem;
extern const UefiFilesSystem kSystemUefiFilesCalls;
