// Trennwick's throw-away machine: trennwick.vmx, made from the user's
// template or the built-in one, in a run folder of its own in the temporary
// root. The launcher makes it for the image the user chose, the player for
// a CD opened from the file manager; both tell its failures in these words.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/file_kind.h"

enum class MachineFailure {
  kImageIsNoFile,       // missing, a directory, a FIFO: neither a file nor a drive
  kImagePathUnusable,   // a quote or a control byte would break the configuration
  kTemplateUnreadable,  // a template is there but cannot be read
  kNoFolder,            // no folder of its own could be made in the temporary root
  kConfigNotWritten,    // the configuration did not reach its file
};

// The template a machine is made from: the file at `path`, or, with
// `builtIn`, the built-in text (the file is missing and was not written).
struct MachineTemplate {
  std::string path;
  bool builtIn = false;
};

// The template in `templateDirectory` (ending with a separator). Only a
// template that is not there at all gives way to the built-in one; anything
// else of that name must be read.
MachineTemplate TemplateIn(const std::string& templateDirectory);

// Why the image cannot be booted from, `kind` being what its path names;
// nothing when it can. A FIFO, a directory or a vanished file would hang or
// fail the player; a quote or control byte would break the configuration.
std::optional<MachineFailure> RefusalOfImage(const std::string& imagePath, FileKind kind);

// What MakeMachine made. Without a failure the folder (ending with a
// separator) holds the configuration `vmxFile`. On kConfigNotWritten the
// folder was made and is the caller's to remove; on any other failure
// nothing was made.
struct MadeMachine {
  std::optional<MachineFailure> failure;
  std::string folder;
  std::string vmxFile;
};

// Makes the machine for an image that RefusalOfImage passed: generates the
// configuration first (a template that cannot be read makes nothing), then
// the run folder trennwick_temp_<stamp> through `makeDirectory` (see
// MakeRunFolder), then writes the configuration into it.
MadeMachine MakeMachine(const std::string& imagePath, const MachineTemplate& from,
                        const std::string& temporaryRoot, const std::string& stamp,
                        const std::function<std::int32_t(const std::string&)>& makeDirectory);

// The display text of a failure, naming the image or the template.
std::string MachineFailureText(MachineFailure failure, const std::string& imagePath,
                               const std::string& templatePath);

// The display text for a run folder that could not be removed.
std::string FolderStaysText(const std::string& folder);
