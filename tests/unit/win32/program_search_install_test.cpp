// QEMU's Windows installer puts it below the program folders and adds
// nothing to PATH; the player looks there last.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "player/host/program_search.h"
#include "player/host/program_search_system.h"
#include "tests/unit/program_search_stand_in.h"

namespace {

TEST_F(ProgramSearchStandIn, LooksForQemuWhereItsWindowsInstallerPutsIt) {
  environment["PATH"] = "C:\\bin";
  environment["ProgramFiles"] = "C:\\Program Files";
  programs.insert("C:\\Program Files\\qemu\\qemu-system-x86_64.exe");
  EXPECT_EQ(FindProgram("qemu-system-x86_64", ""),
            "C:\\Program Files\\qemu\\qemu-system-x86_64.exe");
  // The search path comes first.
  programs.insert("C:\\bin\\qemu-system-x86_64.exe");
  EXPECT_EQ(FindProgram("qemu-system-x86_64", ""), "C:\\bin\\qemu-system-x86_64.exe");

  // A 32-bit player on 64-bit Windows: its ProgramFiles is the x86 folder,
  // the 64-bit QEMU lies below ProgramW6432.
  programs.clear();
  environment["ProgramFiles"] = "C:\\Program Files (x86)";
  environment["ProgramW6432"] = "C:\\Program Files";
  programs.insert("C:\\Program Files\\qemu\\qemu-system-x86_64.exe");
  EXPECT_EQ(FindProgram("qemu-system-x86_64", ""),
            "C:\\Program Files\\qemu\\qemu-system-x86_64.exe");
  EXPECT_EQ(
      ProgramInstallDirectories(),
      (std::vector<std::string>{"C:\\Program Files (x86)\\qemu\\", "C:\\Program Files\\qemu\\"}));
  // A 64-bit player sees one folder under both names, named once.
  environment["ProgramFiles"] = "C:\\PROGRAM FILES";
  EXPECT_EQ(ProgramInstallDirectories(), (std::vector<std::string>{"C:\\PROGRAM FILES\\qemu\\"}));
}

}  // namespace
