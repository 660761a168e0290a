// The shell fallback on Windows: a file that is no program opens with the
// program that HKEY_CLASSES_ROOT associates with its extension. The tests
// register the probe for an extension of their own, one per test, so that
// tests running side by side do not meet.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
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

bool SetDefaultValue(const std::string& key, const std::string& value) {
  HKEY handle = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LONG result =
      RegSetValueExA(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
  RegCloseKey(handle);
  return result == ERROR_SUCCESS;
}

std::vector<std::string> RecordLines(const fs::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class ShellFallback : public testing::Test {
 protected:
  void SetUp() override {
    const std::string stamp = std::to_string(steady_clock::now().time_since_epoch().count());
    extension_ = ".trennwick" + stamp;
    progId_ = "Trennwick.Probe" + stamp;
    root_ = fs::temp_directory_path() / ("trennwick_shell_" + stamp);
    documents_ = root_ / "docs";
    fs::create_directories(documents_);
    recordFile_ = root_ / "record.txt";
    const std::string command = "\"" + launch_test::ProbePath() + "\" --sleep " +
                                std::to_string(kSleepMilliseconds) + " --record \"" +
                                recordFile_.string() + "\" \"%1\"";
    ASSERT_TRUE(SetDefaultValue(extension_, progId_));
    ASSERT_TRUE(SetDefaultValue(progId_ + "\\shell\\open\\command", command));
    document_ = (documents_ / ("trennwick" + extension_)).string();
    std::ofstream(document_) << "config.version = \"8\"\n";
  }
  void TearDown() override {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, extension_.c_str());
    RegDeleteTreeA(HKEY_CLASSES_ROOT, progId_.c_str());
    std::error_code error;
    fs::remove_all(root_, error);
  }

  std::string extension_;
  std::string progId_;
  fs::path root_;
  fs::path documents_;
  fs::path recordFile_;
  std::string document_;
};

TEST_F(ShellFallback, OpensTheDocumentInTheGivenDirectoryAndWaits) {
  const fs::path work = root_ / "work";
  fs::create_directory(work);
  // The driver's form: the directory with its backslash, then one more.
  const std::string directory = work.string() + "\\";
  const std::string launchPath = documents_.string() + "\\\\trennwick" + extension_;
  const auto start = steady_clock::now();
  EXPECT_EQ(LaunchProgram(launchPath, "", directory, LaunchWaitForEnd), 1);
  EXPECT_GE(steady_clock::now() - start, std::chrono::milliseconds(kSleepMilliseconds));
  const std::vector<std::string> lines = RecordLines(recordFile_);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_TRUE(fs::equivalent(lines[0], work));
  EXPECT_TRUE(fs::equivalent(lines.back(), document_));
}

TEST_F(ShellFallback, WithoutADirectoryTheDocumentsOwnIsUsed) {
  EXPECT_EQ(LaunchProgram(document_, "", "", LaunchWaitForEnd), 1);
  const std::vector<std::string> lines = RecordLines(recordFile_);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(fs::equivalent(lines[0], documents_));
}

TEST_F(ShellFallback, AKeptDocumentHasTheShellsProcessButNoProcessId) {
  const std::intptr_t result = LaunchProgram(document_, "", "", LaunchKeepProcess);
  ASSERT_GT(result, 1);
  const auto& kept = *reinterpret_cast<const LaunchedProgram*>(result);
  EXPECT_EQ(kept.processId, -1);
  ASSERT_NE(kept.process, 0);
  EXPECT_EQ(launch_test::WaitForExitCode(kept.process), 0);
  const std::vector<std::string> lines = RecordLines(recordFile_);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(std::stoul(lines[1]), GetProcessId(reinterpret_cast<HANDLE>(kept.process)));
}

TEST_F(ShellFallback, ADocumentWithoutAnAssociationOpensNothing) {
  const std::string unknown = (documents_ / "trennwick.trennwicknone").string();
  std::ofstream(unknown) << "x";
  EXPECT_EQ(LaunchProgram(unknown, "", "", LaunchWaitForEnd), 0);
  EXPECT_FALSE(fs::exists(recordFile_));
}

}  // namespace
