// A host for the program search with the given environment and program
// files, for the tests on every system and those of one.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "player/host/program_search_system.h"

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
