// A fresh directory for one test, removed with everything in it afterwards.
// Its name is new for every test and run (made the way mkdtemp makes one:
// a random suffix, created only if nothing has that name yet), so parallel
// and repeated runs never share or delete each other's files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

class TestDirectory {
 public:
  TestDirectory() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string stem =
        std::string("trennwick_test_") + info->test_suite_name() + "_" + info->name() + "_";
    std::random_device seed;
    std::mt19937_64 random(seed());
    const std::filesystem::path root = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const std::filesystem::path candidate = root / (stem + std::to_string(random()));
      std::error_code error;
      // False for a name that is taken: that one is someone else's.
      if (std::filesystem::create_directory(candidate, error)) path_ = candidate;
    }
    if (path_.empty()) ADD_FAILURE() << "no fresh test directory below " << root;
  }
  ~TestDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TestDirectory(const TestDirectory&) = delete;
  TestDirectory& operator=(const TestDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // A name inside the directory, as the program's texts spell it.
  std::string Name(const std::string& leaf) const { return (path_ / leaf).string(); }

 private:
  std::filesystem::path path_;
};

inline std::string ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
}
