// On Windows the machine's program runs in a job of its own that kills it
// when the job's last handle closes: the player holds the only one, so the
// program ends with the player however the player ends.
#include <windows.h>

#include "player/host/program_runner.h"
#include "player/host/program_runner_system.h"
#include "tests/unit/test_directory.h"

namespace {

TEST(PlayerJob, TheProgramRunsInAKillOnCloseJobThatOnlyThePlayerHolds) {
  ProcessHandles handles;
  ASSERT_TRUE(
      programRunnerSystem.startCompanion(LAUNCH_PROBE_PATH, {"--sleep", "60000"}, {}, &handles));
  const HANDLE process = reinterpret_cast<HANDLE>(handles.process);
  const HANDLE job = reinterpret_cast<HANDLE>(handles.job);
  BOOL inJob = FALSE;
  EXPECT_TRUE(IsProcessInJob(process, job, &inJob));
  EXPECT_TRUE(inJob);
  DWORD flags = 0;
  EXPECT_TRUE(GetHandleInformation(job, &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
  // What happens when the player ends: its job handle closes.
  EXPECT_TRUE(CloseHandle(job));
  EXPECT_EQ(WaitForSingleObject(process, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  TerminateProcess(process, 1);
  CloseHandle(process);
}

}  // namespace
