#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "player/host/machine_connection.h"
#include "player/host/program_runner_system.h"
#include "player/host/program_search.h"
#include "player/host/program_search_system.h"
#include "player/passt_companion.h"

namespace {

// Reads what is there within `milliseconds`; "<eof>" when the peer closed.
std::string ReadSome(int fd, int milliseconds) {
  pollfd waiting{fd, POLLIN, 0};
  if (poll(&waiting, 1, milliseconds) != 1) return "<nothing>";
  char buffer[4096];
  const ssize_t got = read(fd, buffer, sizeof(buffer));
  if (got <= 0) return "<eof>";
  return std::string(buffer, static_cast<std::size_t>(got));
}

TEST(MachineConnection, ARenewedPairKeepsTheMachinesNumberAndEndsTheOldOne) {
  MachineConnection connection;
  EXPECT_EQ(connection.machineEnd(), -1);
  ASSERT_TRUE(connection.Renew());
  const int machine = connection.machineEnd();
  ASSERT_GT(machine, 2);
  ASSERT_EQ(write(connection.companionEnd(), "x", 1), 1);
  EXPECT_EQ(ReadSome(machine, 1000), "x");
  // The earlier run's passt holds a copy of its end.
  const int earlierCompanion = dup(connection.companionEnd());
  ASSERT_TRUE(connection.Renew());
  EXPECT_EQ(connection.machineEnd(), machine);
  EXPECT_EQ(ReadSome(earlierCompanion, 1000), "<eof>");
  close(earlierCompanion);
  ASSERT_EQ(write(machine, "y", 1), 1);
  EXPECT_EQ(ReadSome(connection.companionEnd(), 1000), "y");
  connection.CloseCompanionEnd();
  EXPECT_EQ(connection.companionEnd(), -1);
  EXPECT_EQ(ReadSome(machine, 1000), "<eof>");
}

// The stand-in passt: records its start and checks that the descriptor it
// inherits is the one its arguments name and reaches QEMU's end.
struct FakePasst {
  bool installed = true;
  bool starts = true;
  int startsSeen = 0;
  int stops = 0;
  std::vector<std::string> arguments;
  std::vector<int> keepOpen;
};
FakePasst* fake = nullptr;

class PasstStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = &passt;
    programSearchSystem.environmentValue = [](const std::string& name, std::string* value) {
      *value = "/tools";
      return name == "PATH";
    };
    programSearchSystem.isProgramFile = [](const std::string& path) {
      return fake->installed && path == "/tools/passt";
    };
    programRunnerSystem.startCompanion = [](const std::string&, const std::vector<std::string>& a,
                                            const std::vector<int>& keepOpen, ProcessHandles* h) {
      fake->arguments = a;
      fake->keepOpen = keepOpen;
      if (!fake->starts) return false;
      ++fake->startsSeen;
      // One frame as passt sends it: its length, then its bytes.
      if (keepOpen.size() == 1) (void)!write(keepOpen[0], "\0\0\0\5hello", 9);
      h->process = 1;
      return true;
    };
    programRunnerSystem.companionRunning = [](ProcessHandles* h) { return h->process != 0; };
    programRunnerSystem.stopCompanion = [](ProcessHandles* h, int) {
      ++fake->stops;
      h->process = 0;
    };
  }
  void TearDown() override {
    programRunnerSystem = kSystemProgramRunnerCalls;
    programSearchSystem = kSystemProgramSearchCalls;
    fake = nullptr;
  }
  FakePasst passt;
};

TEST_F(PasstStartTest, NamesThePackageWhenPasstIsMissing) {
  passt.installed = false;
  PasstCompanion companion;
  std::vector<int> connections;
  const std::string refusal = companion.Prepare({0}, &connections);
  EXPECT_NE(refusal.find("Paket \"passt\""), std::string::npos) << refusal;
  EXPECT_TRUE(connections.empty());
  EXPECT_EQ(companion.Start(), "");
  EXPECT_EQ(passt.startsSeen, 0);
}

TEST_F(PasstStartTest, EachRunGetsAFreshPasstOnTheConnectionQemuInherits) {
  PasstCompanion companion;
  std::vector<int> connections;
  ASSERT_EQ(companion.Prepare({1, 3}, &connections), "");
  ASSERT_EQ(connections.size(), 4u);
  EXPECT_EQ(connections[0], -1);
  EXPECT_EQ(connections[2], -1);
  const std::vector<int> machine = {connections[1], connections[3]};
  EXPECT_EQ(companion.Descriptors(), machine);
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(companion.Start(), "");
    // The same numbers each run: the arguments that name them stay right.
    EXPECT_EQ(companion.Descriptors(), machine);
    ASSERT_EQ(passt.keepOpen.size(), 1u);
    EXPECT_EQ(passt.arguments, PasstArguments(passt.keepOpen[0]));
    EXPECT_EQ(ReadSome(machine[1], 1000), std::string("\0\0\0\5hello", 9));
    // The player let go of passt's end: QEMU sees it close with passt.
    EXPECT_EQ(ReadSome(machine[1], 1000), "<eof>");
    companion.Stop();
  }
  EXPECT_EQ(passt.startsSeen, 4);
  EXPECT_EQ(passt.stops, 4);
}

TEST_F(PasstStartTest, APasstThatCannotStartIsNamedAndTheOthersAreStopped) {
  PasstCompanion companion;
  std::vector<int> connections;
  ASSERT_EQ(companion.Prepare({0, 1}, &connections), "");
  programRunnerSystem.startCompanion = [](const std::string&, const std::vector<std::string>&,
                                          const std::vector<int>&, ProcessHandles* h) {
    if (++fake->startsSeen > 1) return false;
    h->process = 1;
    return true;
  };
  const std::string failure = companion.Start();
  EXPECT_NE(failure.find("passt konnte nicht gestartet werden: '/tools/passt'"), std::string::npos)
      << failure;
  EXPECT_EQ(passt.stops, 1);
}

// One Ethernet frame as QEMU's stream network sends it: its length first.
std::string FramedArpRequest() {
  const std::uint8_t frame[] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x52, 0x54, 0x00, 0x12,
                                0x34, 0x56, 0x08, 0x06,                          // Ethernet
                                0x00, 0x01, 0x08, 0x00, 6,    4,    0x00, 0x01,  // request
                                0x52, 0x54, 0x00, 0x12, 0x34, 0x56, 203,  0,    113,  2,   // sender
                                0,    0,    0,    0,    0,    0,    203,  0,    113,  1};  // target
  std::string framed = {0, 0, 0, static_cast<char>(sizeof(frame))};
  return framed + std::string(reinterpret_cast<const char*>(frame), sizeof(frame));
}

TEST(PasstCompanion, TheRealPasstAnswersTheGuestOnItsConnection) {
  if (FindProgram("passt", "").empty()) GTEST_SKIP() << "passt is not installed";
  PasstCompanion companion;
  std::vector<int> connections;
  ASSERT_EQ(companion.Prepare({0}, &connections), "");
  ASSERT_EQ(companion.Start(), "");
  const int machine = connections[0];
  const std::string request = FramedArpRequest();
  ASSERT_EQ(write(machine, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  // passt may write the length and the frame apart.
  std::string answer = ReadSome(machine, 3000);
  while (answer.size() >= 4 && answer.size() < 4u + static_cast<std::uint8_t>(answer[3])) {
    const std::string more = ReadSome(machine, 3000);
    if (more[0] == '<') break;
    answer += more;
  }
  companion.Stop();
  if (answer == "<eof>") GTEST_SKIP() << "passt found no interface to the outside here";
  // An ARP reply (operation 2) behind the length.
  ASSERT_GE(answer.size(), 4u + 22u) << answer;
  EXPECT_EQ(answer.substr(4 + 12, 2), std::string("\x08\x06", 2));
  EXPECT_EQ(answer.substr(4 + 20, 2), std::string("\x00\x02", 2));
}

}  // namespace
