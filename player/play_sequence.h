// The player's run of one machine, from its .vmx to QEMU's end, in named
// steps: read the configuration, look at the host, plan the machine's
// files, ask, lock, work out the facts and open the files, run, report.
// Each step says what went wrong in a box (and on stderr) and gives the
// exit code; QEMU's own code is passed on.
#pragma once

#include <string>

#include "player/player_services.h"

// Exit codes of the player's own failures.
inline constexpr int kExitUsage = 2;
inline constexpr int kExitConfiguration = 3;
inline constexpr int kExitNoQemu = 4;
inline constexpr int kExitNoDisplay = 5;
inline constexpr int kExitMachineLocked = 6;
inline constexpr int kExitNoTpm = 7;
inline constexpr int kExitNoMemory = 8;

inline constexpr char kErrorTitle[] = "Fehler";
inline constexpr char kNoticeTitle[] = "Trennwick-Player";

struct MachineDescription;

struct PlayRequest {
  std::string vmxFile;
  // The player made the machine itself from the user's CD or appliance:
  // every file is the user's own choice, as in the launcher's run.
  bool madeByPlayer = false;
  // An appliance's machine, read by the player itself: there is no .vmx to
  // read, and `vmxFile` only says where the machine's lock and firmware
  // store go (its run folder).
  const MachineDescription* appliance = nullptr;
};

int PlayMachine(const PlayRequest& request, PlayerServices& services);

// Every message goes to stderr, and into a box where there is a display to
// show one. `shown` is a display text (own texts through ShownText).
void Tell(PlayerServices& services, const char* title, const std::string& shown, bool display);

// A question with "Ja" and "Nein", "Nein" the default; closing the box
// counts as "Nein". `shown` is a display text.
bool UserSaysYes(PlayerServices& services, const std::string& shown);
