// The desktop fallback on Linux: a file that is no program opens with the
// default application for its content type. GIO reads the XDG directories
// once per process, so each case runs in a fresh process (a death test
// that re-executes this program) with a desktop made for it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/program_launcher.h"
#include "tests/unit/launch_test_support.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::steady_clock;

constexpr int kSleepMilliseconds = 300;

void WriteFile(const fs::path& file, const std::string& content) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << content;
}

// A desktop below `root` that knows nothing but, when `withProbe`, *.vmx
// files as application/x-vmware-vm opened by default with the probe.
void MakeDesktop(const fs::path& root, bool withProbe, const fs::path& recordFile) {
  const fs::path data = root / "data";
  const fs::path config = root / "config";
  const fs::path empty = root / "empty";
  fs::create_directories(data);
  fs::create_directories(config);
  fs::create_directories(empty);
  if (withProbe) {
    WriteFile(data / "mime/packages/trennwick-test.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
              "  <mime-type type=\"application/x-vmware-vm\">\n"
              "    <comment>VMware configuration</comment>\n"
              "    <glob pattern=\"*.vmx\"/>\n"
              "  </mime-type>\n"
              "</mime-info>\n");
    const std::string update = "update-mime-database '" + (data / "mime").string() + "'";
    if (std::system(update.c_str()) != 0) std::fprintf(stderr, "update-mime-database failed\n");
    WriteFile(data / "applications/trennwick-probe.desktop",
              "[Desktop Entry]\nType=Application\nName=Trennwick probe\nExec=" +
                  launch_test::ProbePath() + " --sleep " + std::to_string(kSleepMilliseconds) +
                  " --record " + recordFile.string() +
                  " %f\nMimeType=application/x-vmware-vm;\nNoDisplay=true\n");
    WriteFile(config / "mimeapps.list",
              "[Default Applications]\napplication/x-vmware-vm=trennwick-probe.desktop\n");
  }
  setenv("XDG_DATA_HOME", data.c_str(), 1);
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  setenv("XDG_DATA_DIRS", empty.c_str(), 1);
  setenv("XDG_CONFIG_DIRS", empty.c_str(), 1);
}

fs::path FreshRoot(const char* name) {
  const fs::path root =
      fs::temp_directory_path() /
      (std::string(name) + std::to_string(steady_clock::now().time_since_epoch().count()));
  fs::create_directories(root);
  return root;
}

// The probe's record: its working directory, then its process id, then
// its arguments.
std::vector<std::string> RecordLines(const fs::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  return 1;
}

// Runs in the death test's own process; 0 when every check holds.
int OpenDocumentsWithTheProbe() {
  const fs::path root = FreshRoot("trennwick_desktop_");
  const fs::path recordFile = root / "record.txt";
  MakeDesktop(root, true, recordFile);
  const fs::path documents = root / "docs";
  const fs::path work = root / "work";
  fs::create_directories(documents);
  fs::create_directories(work);
  const fs::path document = documents / "trennwick.vmx";
  WriteFile(document, "config.version = \"8\"\r\n");

  // The driver's call: a working directory and waiting for the end.
  auto start = steady_clock::now();
  if (LaunchProgram(document.string(), "", work.string(), LaunchWaitForEnd) != 1) {
    return Fail("the document did not open");
  }
  if (steady_clock::now() - start < std::chrono::milliseconds(kSleepMilliseconds)) {
    return Fail("the call did not wait for the application");
  }
  std::vector<std::string> lines = RecordLines(recordFile);
  if (lines.size() < 3) return Fail("the application left no record");
  if (!fs::equivalent(lines[0], work)) return Fail("not the given working directory");
  if (lines.back() != document.string()) return Fail("not the document's path");

  // No directory: the document's own.
  fs::remove(recordFile);
  if (LaunchProgram(document.string(), "", "", LaunchWaitForEnd) != 1) {
    return Fail("the document did not open a second time");
  }
  lines = RecordLines(recordFile);
  if (lines.empty() || !fs::equivalent(lines[0], documents)) {
    return Fail("not the document's directory");
  }

  // A kept record: the process, but no process id.
  fs::remove(recordFile);
  const std::intptr_t result = LaunchProgram(document.string(), "", "", LaunchKeepProcess);
  if (result <= 1) return Fail("no record");
  const auto& kept = *reinterpret_cast<const LaunchedProgram*>(result);
  if (kept.processId != -1 || kept.process <= 0) return Fail("the record is not a desktop one");
  if (launch_test::WaitForExitCode(kept.process) != 0) return Fail("the application failed");
  lines = RecordLines(recordFile);
  if (lines.size() < 2 || std::stol(lines[1]) != kept.process) return Fail("another process");

  fs::remove_all(root);
  return 0;
}

int FindNoApplication() {
  const fs::path root = FreshRoot("trennwick_nodesktop_");
  MakeDesktop(root, false, root / "record.txt");
  const fs::path document = root / "trennwick.vmx";
  WriteFile(document, "config.version = \"8\"\r\n");
  const std::intptr_t result = LaunchProgram(document.string(), "", "", LaunchWaitForEnd);
  fs::remove_all(root);
  return result == 0 ? 0 : Fail("something opened the document");
}

class DesktopFallback : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(DesktopFallback, OpensTheDocumentWithTheDefaultApplicationAndWaits) {
  EXPECT_EXIT(std::exit(OpenDocumentsWithTheProbe()), testing::ExitedWithCode(0), "");
}

TEST_F(DesktopFallback, WithoutADefaultApplicationNothingOpens) {
  EXPECT_EXIT(std::exit(FindNoApplication()), testing::ExitedWithCode(0), "");
}

}  // namespace
