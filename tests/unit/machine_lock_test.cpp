#include "player/host/machine_lock.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "player/host/machine_lock_system.h"
#include "player/host/program_runner.h"
#include "test_directory.h"

namespace {

namespace fs = std::filesystem;

// The process id of a program that has ended: the probe records its own.
std::uint32_t EndedProcess(const TestDirectory& directory) {
  const std::string record = directory.Name("probe.txt");
  ProgramEnd end;
  EXPECT_TRUE(RunProgramToEnd(LAUNCH_PROBE_PATH, {"--record", record}, {}, &end));
  const std::string text = ReadBytes(record);
  const std::size_t line = text.find('\n');
  return static_cast<std::uint32_t>(std::stoul(text.substr(line + 1)));
}

TEST(MachineLock, IsTakenFreshHeldAgainstASecondPlayerAndRemovedOnRelease) {
  TestDirectory directory;
  const std::string vmx = directory.Name("m.vmx");
  const fs::path lockPath = directory.path() / "m.vmx.lck";
  {
    MachineLock first;
    ASSERT_EQ(first.Take(vmx), MachineLockResult::kTaken);
    EXPECT_EQ(first.path(), lockPath.string());
    EXPECT_TRUE(fs::is_directory(lockPath));
    const std::uint32_t self = ParseOwnerRecord(ReadBytes(lockPath / kMachineLockOwnerFile));
    EXPECT_NE(self, 0u);

    MachineLock second;
    EXPECT_EQ(second.Take(vmx), MachineLockResult::kHeld);
    EXPECT_EQ(second.ownerProcess(), self);
    // The refused one leaves the holder's lock alone, also when it goes.
    second.Release();
    EXPECT_TRUE(fs::exists(lockPath / kMachineLockOwnerFile));

    first.Release();
    EXPECT_FALSE(fs::exists(lockPath));
    EXPECT_EQ(second.Take(vmx), MachineLockResult::kTaken);
  }
  // The destructor removed the second one's lock.
  EXPECT_FALSE(fs::exists(lockPath));
  EXPECT_TRUE(fs::is_empty(directory.path()));
}

TEST(MachineLock, ALockWhosePlayerIsGoneIsTakenOver) {
  TestDirectory directory;
  const std::uint32_t gone = EndedProcess(directory);
  const fs::path lockPath = directory.path() / "m.vmx.lck";
  fs::create_directory(lockPath);
  WriteBytes(lockPath / kMachineLockOwnerFile, OwnerRecord(gone));
  MachineLock lock;
  ASSERT_EQ(lock.Take(directory.Name("m.vmx")), MachineLockResult::kTaken);
  EXPECT_NE(ParseOwnerRecord(ReadBytes(lockPath / kMachineLockOwnerFile)), gone);
  lock.Release();
  EXPECT_FALSE(fs::exists(lockPath));
}

TEST(MachineLock, AnotherProgramsLockOrAFileOfItsNameIsNeverTaken) {
  TestDirectory directory;
  const std::string vmx = directory.Name("m.vmx");
  const fs::path lockPath = directory.path() / "m.vmx.lck";
  MachineLock lock;
  // VMware's, or Trennwick's test player's lock: a directory without ours.
  fs::create_directory(lockPath);
  WriteBytes(lockPath / "owner.lck", "recording player\n");
  EXPECT_EQ(lock.Take(vmx), MachineLockResult::kUnknown);
  // A record cut short, as while a player writes it.
  WriteBytes(lockPath / kMachineLockOwnerFile, "pid=12");
  EXPECT_EQ(lock.Take(vmx), MachineLockResult::kUnknown);
  // A stale owner beside another program's files: those stay.
  WriteBytes(lockPath / kMachineLockOwnerFile, OwnerRecord(EndedProcess(directory)));
  EXPECT_EQ(lock.Take(vmx), MachineLockResult::kUnknown);
  EXPECT_EQ(ReadBytes(lockPath / "owner.lck"), "recording player\n");
  lock.Release();
  EXPECT_TRUE(fs::exists(lockPath / "owner.lck"));

  fs::remove_all(lockPath);
  WriteBytes(lockPath, "a file");
  EXPECT_EQ(lock.Take(vmx), MachineLockResult::kInTheWay);
  lock.Release();
  EXPECT_EQ(ReadBytes(lockPath), "a file");

  EXPECT_EQ(lock.Take(directory.Name("no such folder/m.vmx")), MachineLockResult::kFailed);
}

TEST(MachineLock, AnOwnerFileThatCannotBeWrittenLeavesNoLockBehind) {
  TestDirectory directory;
  const MachineLockSystem saved = machineLockSystem;
  machineLockSystem.writeOwnerFile = [](const std::string&, const std::string&, const std::string&,
                                        std::intptr_t*) { return false; };
  MachineLock lock;
  EXPECT_EQ(lock.Take(directory.Name("m.vmx")), MachineLockResult::kFailed);
  machineLockSystem = saved;
  EXPECT_FALSE(fs::exists(directory.path() / "m.vmx.lck"));
}

TEST(MachineLockRecord, ReadsOnlyAWholeRecord) {
  EXPECT_EQ(ParseOwnerRecord(OwnerRecord(4242)), 4242u);
  EXPECT_EQ(ParseOwnerRecord(OwnerRecord(4294967295u)), 4294967295u);
  EXPECT_EQ(ParseOwnerRecord("pid=4242"), 0u);
  EXPECT_EQ(ParseOwnerRecord("pid=\n"), 0u);
  EXPECT_EQ(ParseOwnerRecord("pid=42x\n"), 0u);
  EXPECT_EQ(ParseOwnerRecord("pid=4294967296\n"), 0u);
  EXPECT_EQ(ParseOwnerRecord("4242\n"), 0u);
  EXPECT_EQ(ParseOwnerRecord(""), 0u);
  EXPECT_EQ(MachineLockPath("dir/m.vmx"), "dir/m.vmx.lck");
}

}  // namespace
