// What the launcher and the player agree on about a Trennwick run: where
// the launcher puts the throw-away machine and the template it makes it
// from. The player recognises the launcher's run by these names (and by
// its parent), and makes the same machine itself for a CD opened from the
// file manager.
#pragma once

// The template beside the launcher (or in the user's configuration folder
// when installed).
inline constexpr char kTemplateFileName[] = "trennwick_template.txt";
// The run's folder directly in the temporary root: this prefix, then the
// run's stamp (and "_2", "_3", ... when that is taken).
inline constexpr char kRunFolderPrefix[] = "trennwick_temp_";
// The machine's configuration inside that folder.
inline constexpr char kRunConfigName[] = "trennwick.vmx";
// The lock a player keeps beside a running configuration, as VMware does.
inline constexpr char kMachineLockSuffix[] = ".lck";
