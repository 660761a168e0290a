// What the launcher's tests need from the system around a launch: the
// probe program, the pipes and the process of a kept record, and the
// number of handles this process holds. One implementation per system in
// tests/unit/<system>/.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace launch_test {

// The probe program (tests/unit/probe), as this system's launcher takes it.
std::string ProbePath();

// Reads until the writer has gone; the bytes read.
std::string ReadToEnd(std::intptr_t readEnd);
bool WriteAll(std::intptr_t writeEnd, std::string_view bytes);
void ClosePipeEnd(std::intptr_t end);

// Waits for a kept process and gives its exit code; -1 when it cannot.
int WaitForExitCode(std::intptr_t process);

// Handles (Windows) or file descriptors (POSIX) open in this process.
int OpenHandleCount();

// How many launches the leak test makes: process starts under Wine are
// slow.
int LeakTestLaunches();

}  // namespace launch_test
