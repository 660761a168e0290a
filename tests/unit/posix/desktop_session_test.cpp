// A Linux session has a display when one is named and GTK opens it.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "player/host/desktop_session.h"
#include "player/host/posix/desktop_session_system.h"

namespace {

class DesktopSessionStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    current = this;
    desktopSessionSystem.environmentValue = [](const std::string& name, std::string* value) {
      const auto found = current->environment.find(name);
      if (found == current->environment.end()) return false;
      *value = found->second;
      return true;
    };
    desktopSessionSystem.displayOpens = [] { return current->displayOpens; };
  }
  void TearDown() override { desktopSessionSystem = kSystemDesktopSessionCalls; }

  static inline DesktopSessionStandIn* current = nullptr;
  std::map<std::string, std::string> environment;
  bool displayOpens = true;
};

TEST_F(DesktopSessionStandIn, HasADisplayOnlyWhereOneIsNamedAndOpens) {
  EXPECT_FALSE(GraphicalDisplayPresent());
  environment["DISPLAY"] = "";
  EXPECT_FALSE(GraphicalDisplayPresent());
  environment["WAYLAND_DISPLAY"] = "wayland-0";
  EXPECT_TRUE(GraphicalDisplayPresent());
  // Named but not there: GTK cannot open it.
  displayOpens = false;
  EXPECT_FALSE(GraphicalDisplayPresent());
}

}  // namespace
