// Running a program of the player's (QEMU, swtpm) with an exact argument
// vector: to its end, or beside the machine as a companion that ends with
// it; and what the player makes of the way it ended.
//
// Failures are results: false when nothing was started. Nothing is shown
// to the user.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// How a program run ended.
struct ProgramEnd {
  std::int32_t exitCode = 0;  // on POSIX 128 + the signal's number for a signal
  int signal = 0;             // POSIX: the signal that ended the program; 0 when it exited
  int stopSignal = 0;         // POSIX: SIGTERM, SIGHUP or SIGINT that the player got and passed on
  double seconds = 0;         // from its start to its end
  std::string errorTail;      // the last lines of its stderr (a few KiB)
};

// Runs `program` with `arguments` (argv[1] on) in the caller's directory
// and returns when it has ended. Its stderr passes on to ours and its last
// kErrorTailBytes are kept. False when it could not be started. Every
// argument reaches the program unchanged: on POSIX as its own argv entry,
// on Windows through a command line that the MSVCRT parser (QEMU's) cuts
// back into exactly these arguments.
//
// The program never outlives the player. Linux: it gets PR_SET_PDEATHSIG
// (SIGTERM, which QEMU answers with a clean shutdown) and SIGTERM, SIGHUP
// and SIGINT sent to the player while it runs are passed on to it (see
// ProgramEnd::stopSignal). Windows: it runs in a job object that kills it
// when the player's last handle to the job closes, i.e. when the player ends.
//
// `keepOpen` (POSIX; empty on Windows): descriptors above 2, opened by the
// caller with O_CLOEXEC, that the program inherits at the same numbers.
// No other descriptor but 0, 1 and 2 reaches it. The caller keeps owning
// them.
bool RunProgramToEnd(const std::string& program, const std::vector<std::string>& arguments,
                     const std::vector<int>& keepOpen, ProgramEnd* end);

// The system's handles of a started process (a pid, or a process and a job
// handle), opaque to the logic.
struct ProcessHandles {
  std::intptr_t process = 0;
  std::intptr_t job = 0;
};

// A helper program that runs beside the machine (swtpm) and must end with
// it. It is started like RunProgramToEnd's program (PDEATHSIG on Linux, a
// job of its own on Windows, `keepOpen` passed on the same way), but not
// waited for; its stderr is ours. The object owns the process: it is
// stopped (Stop) when the object goes, so no path leaves it running.
class CompanionProgram {
 public:
  CompanionProgram() = default;
  ~CompanionProgram();
  CompanionProgram(const CompanionProgram&) = delete;
  CompanionProgram& operator=(const CompanionProgram&) = delete;

  // True while the program runs; false once it ended (it is reaped then)
  // or when none was started.
  bool Running();
  // Ends the program and waits for it: SIGTERM, then SIGKILL after
  // kCompanionStopMilliseconds (Windows: TerminateProcess). Nothing when it
  // has already ended or none was started.
  void Stop();

 private:
  friend bool StartCompanionProgram(const std::string&, const std::vector<std::string>&,
                                    const std::vector<int>&, CompanionProgram*);
  ProcessHandles handles_;
  bool started_ = false;
};

inline constexpr int kCompanionStopMilliseconds = 2000;

// Starts `program` into `companion` (which must hold none yet). False when
// it could not be started.
bool StartCompanionProgram(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<int>& keepOpen, CompanionProgram* companion);

// --- Logic that needs no system ---

// The name of a Linux signal ("SIGKILL" for 9); empty for one without a
// fixed name (real-time signals, unknown numbers).
std::string SignalName(int signal);

// What the player makes of its program's end: the exit code it ends with
// and the own text (Windows-1252) of the box to show; no text when the
// program ended well or because the player passed a stop signal on.
struct ProgramEndReport {
  int exitCode = 0;
  std::string text;
};
ProgramEndReport ReportProgramEnd(const std::string& programName, const ProgramEnd& end);

inline constexpr std::size_t kErrorTailBytes = 4096;

// Keeps the last kErrorTailBytes of a stream; Text() starts at a line.
class ErrorTail {
 public:
  void Append(const char* bytes, std::size_t count);
  std::string Text() const;

 private:
  std::string kept_;
  bool cut_ = false;
};
