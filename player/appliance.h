// What the player was given, told by content, and an appliance (.ova or
// .ovf) read into the machine it describes. The machine is the one the
// same .vmx would describe: the envelope becomes that .vmx's settings and
// goes through the same description. An .ova is never unpacked: its disks
// are read where they lie inside it. Every disk is only read; the guest's
// writes go to a throw-away overlay. A manifest is checked before anything
// else happens.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "player/machine_description.h"
#include "player/machine_files.h"
#include "player/ovf_envelope.h"
#include "player/vmx_config.h"

enum class OpenedKind {
  kCdImage,            // ISO 9660 or UDF volume descriptors at 32 KiB
  kApplianceArchive,   // a tar archive (.ova)
  kApplianceEnvelope,  // an OVF envelope (.ovf)
  kUnknown,
};

// How much of a file's start KindOfContent needs.
inline constexpr std::size_t kContentProbeBytes = 32768 + 2048;

// By the file's first bytes (up to kContentProbeBytes; fewer for a short
// file), never by its name.
OpenedKind KindOfContent(std::string_view start);

// The settings a .vmx of the same machine holds (names still as the
// envelope writes them, in UTF-8, with ".encoding" saying so).
VmxConfig ApplianceSettings(const OvfEnvelope& envelope);

struct ApplianceMachine {
  // A display text naming the appliance and what is wrong; empty when the
  // machine can be played.
  std::string error;
  MachineDescription machine;
};

// Reads the appliance `path` (as the user gave it) of `kind`, with its
// manifest, through `files`. The machine's disks and CD images are the
// .ova itself, each from its member's offset, or the files beside the
// .ovf; they are only read, and the guest's writes are thrown away.
ApplianceMachine ReadAppliance(const std::string& path, OpenedKind kind, MachineFileHost& files,
                               char separator);
