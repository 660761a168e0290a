// QEMU's Windows installer puts it below the program folders and adds
// nothing to PATH; the player looks there last.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "player/host/program_search.h"
#include "player/host/program_search_system.h"

namespace {

// A host with the given environment and program files.
class ProgramSearchStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    current = this;
    programSearchSystem.environmentValue = [](const std::string& name, std::string* value) {
      const auto found = current->environment.find(name);
      if (found == current->environment.end()) return false;
      *value = found->second;
      return true;
    };
    programSearchSystem.isProgramFile = [](const std::string& path) {
      return current->programs.count(path) > 0;
    };
  }
  void TearDown() override { programSearchSystem = kSystemProgramSearchCalls; }

  static inline ProgramSearchStandIn* current = nullptr;
  std::map<std::string, std::string> environment;
  std::set<std::string> programs;
};

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
