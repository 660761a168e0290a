#include "player/host/program_search.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/system.h"
#include "player/host/program_search_system.h"
#include "program_search_stand_in.h"

namespace {

TEST(SearchPath, SplitsSkippingEmptyEntries) {
  EXPECT_EQ(SplitSearchPath("/usr/bin::/bin/", ':', '/'),
            (std::vector<std::string>{"/usr/bin/", "/bin/"}));
  EXPECT_EQ(SplitSearchPath("C:\\q;;D:\\w\\", ';', '\\'),
            (std::vector<std::string>{"C:\\q\\", "D:\\w\\"}));
  EXPECT_TRUE(SplitSearchPath("", ':', '/').empty());
}

TEST_F(ProgramSearchStandIn, FindsTheProgramBesideThePlayerFirstThenOnThePath) {
  const char s = system_facts::kPathSeparator;
  const std::string file = std::string("qemu-system-x86_64") + kProgramExtension;
  const std::string list = std::string("a") + kSearchPathSeparator + "b";
  environment["PATH"] = list;
  EXPECT_EQ(FindProgram("qemu-system-x86_64", ""), "");
  programs.insert(std::string("b") + s + file);
  EXPECT_EQ(FindProgram("qemu-system-x86_64", ""), std::string("b") + s + file);
  programs.insert(std::string("a") + s + file);
  EXPECT_EQ(FindProgram("qemu-system-x86_64", ""), std::string("a") + s + file);
  programs.insert(std::string("beside") + s + file);
  EXPECT_EQ(FindProgram("qemu-system-x86_64", std::string("beside") + s),
            std::string("beside") + s + file);
  environment.clear();
  EXPECT_EQ(FindProgram("qemu-system-x86_64", std::string("elsewhere") + s), "");
}

}  // namespace
