#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "player/host/program_runner_system.h"
#include "player/tpm.h"
#include "player/tpm_companion.h"
#include "tests/unit/test_directory.h"

namespace {

namespace fs = std::filesystem;

constexpr char kSwtpm[] = "/tools/swtpm";

int ListenAt(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
      listen(fd, 1) == 0) {
    return fd;
  }
  if (fd >= 0) close(fd);
  return -1;
}

// The stand-in swtpm: it listens on the path of its --ctrl option (in this
// process, through the inherited folder) unless told to end at once.
struct FakeSwtpm {
  bool starts = true;
  bool listens = true;
  bool endsWithQemu = true;
  bool socketBeforeStart = false;
  std::string program;
  std::vector<std::string> arguments;
  std::vector<int> keepOpen;
  int listening = -1;
  int stops = 0;
  bool running = false;
};
FakeSwtpm* fake = nullptr;

std::string ControlSocket(const std::vector<std::string>& arguments) {
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] != "--ctrl") continue;
    const std::string& option = arguments[i + 1];
    const std::size_t start = option.find("path=") + 5;
    return option.substr(start, option.find(',', start) - start);
  }
  return {};
}

class TpmStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = &swtpm;
    programRunnerSystem.startCompanion = [](const std::string& program,
                                            const std::vector<std::string>& a,
                                            const std::vector<int>& keepOpen, ProcessHandles*) {
      fake->program = program;
      fake->arguments = a;
      fake->keepOpen = keepOpen;
      if (!fake->starts) return false;
      fake->socketBeforeStart = fs::exists(ControlSocket(a));
      fake->running = fake->listens;
      if (fake->listens) fake->listening = ListenAt(ControlSocket(a));
      return true;
    };
    programRunnerSystem.companionRunning = [](ProcessHandles*) {
      if (fake->endsWithQemu && fake->listening < 0) fake->running = false;
      return fake->running;
    };
    programRunnerSystem.stopCompanion = [](ProcessHandles*, int) {
      ++fake->stops;
      fake->running = false;
    };
  }
  void TearDown() override {
    if (swtpm.listening >= 0) close(swtpm.listening);
    programRunnerSystem = kSystemProgramRunnerCalls;
    fake = nullptr;
  }

  // Opens the TPM of m.vmx: its state folder is made and held.
  void Open() {
    ASSERT_EQ(tpm.Open((directory.path() / "m.vmx").string(), kSwtpm), "");
    EXPECT_TRUE(fs::is_directory(directory.path() / "m-tpm"));
    ASSERT_EQ(tpm.Descriptors().size(), 1u);
  }

  // QEMU ended: swtpm sees its connection close.
  void QemuEnds() {
    close(swtpm.listening);
    swtpm.listening = -1;
  }

  TestDirectory directory;
  FakeSwtpm swtpm;
  TpmCompanion tpm;
};

TEST_F(TpmStartTest, RefusesAStateFolderThatIsALink) {
  fs::create_directory(directory.path() / "elsewhere");
  fs::create_directory_symlink(directory.path() / "elsewhere", directory.path() / "m-tpm");
  const std::string refusal = tpm.Open((directory.path() / "m.vmx").string(), kSwtpm);
  EXPECT_NE(refusal.find("m-tpm'"), std::string::npos) << refusal;
  EXPECT_EQ(tpm.Socket(), "");
  EXPECT_TRUE(tpm.Descriptors().empty());
  EXPECT_EQ(tpm.Start(), "");
  EXPECT_TRUE(swtpm.arguments.empty());
}

TEST_F(TpmStartTest, SwtpmGetsTheFolderQemuInheritsAndAnEarlierRunsSocketIsGone) {
  Open();
  const std::string folder = "/proc/self/fd/" + std::to_string(tpm.Descriptors()[0]) + "/";
  EXPECT_EQ(tpm.Socket(), folder + kTpmSocketName);
  const int leftover = ListenAt(tpm.Socket());
  ASSERT_GE(leftover, 0);
  close(leftover);
  EXPECT_EQ(tpm.Start(), "");
  EXPECT_FALSE(swtpm.socketBeforeStart);
  EXPECT_EQ(swtpm.program, kSwtpm);
  EXPECT_EQ(swtpm.arguments, SwtpmArguments(folder, folder + kTpmSocketName));
  EXPECT_EQ(swtpm.keepOpen, tpm.Descriptors());
  QemuEnds();
  tpm.Stop();
  // It ended by itself; nothing had to be stopped.
  EXPECT_EQ(swtpm.stops, 0);
}

TEST_F(TpmStartTest, AnSwtpmThatOutlivesQemuIsStopped) {
  swtpm.endsWithQemu = false;
  Open();
  ASSERT_EQ(tpm.Start(), "");
  QemuEnds();
  tpm.Stop();
  EXPECT_EQ(swtpm.stops, 1);
  EXPECT_FALSE(swtpm.running);
}

TEST_F(TpmStartTest, AnSwtpmThatEndsWithoutListeningFailsAtOnce) {
  swtpm.listens = false;
  Open();
  const auto start = std::chrono::steady_clock::now();
  const std::string failure = tpm.Start();
  EXPECT_NE(failure.find("nicht bereit"), std::string::npos) << failure;
  EXPECT_NE(failure.find("m-tpm'"), std::string::npos) << failure;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(TpmStartTest, AnSwtpmThatCannotStartIsNamed) {
  swtpm.starts = false;
  Open();
  const std::string failure = tpm.Start();
  EXPECT_NE(failure.find("konnte nicht gestartet werden: '/tools/swtpm'"), std::string::npos)
      << failure;
}

}  // namespace
