// CChildProcess: a program started by this process, for tools and tests that work
// across processes.
//
//   CChildProcess producer;
//   if (!producer.Start(path, {"--size", "640x480"})) return false;
//   ...
//   producer.Kill();
//   int code = 0;
//   if (!producer.Wait(std::chrono::seconds(10), &code)) ...   // still running
//
// Start runs the program with its arguments and, optionally, extra environment
// variables added to this process's own; its standard streams are inherited (StartCaptured:
// its output is collected with ReadOutput, which has a deadline too). Wait has a
// deadline and never hangs. Kill ends the program at once (SIGKILL / TerminateProcess).
// CpuSeconds reads the processor time the child has used so far (for measurements).
// Failure: a Start that fails says why in StartError() (the program and the system's
// reason, in words) and leaves the system's code as the thread's last error.
// Ownership: move-only; destroying (or assigning over) a running child kills and reaps it.
// Threading: one thread at a time.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "platform/native_handle.h"
#include "platform/timeout.h"
#include "platform/windows_types.h"

class CChildProcess {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;

  // False when a child started by this object still runs, or the program cannot be started.
  bool Start(const std::string& program, const std::vector<std::string>& arguments,
             const Environment& extraEnvironment = {});
  // Start with the child's standard output and error going together into a pipe that
  // ReadOutput drains, and an empty standard input.
  bool StartCaptured(const std::string& program, const std::vector<std::string>& arguments,
                     const Environment& extraEnvironment = {});
  // What a captured child prints, until it closes its output (it ended, or closed it) or
  // timeout has passed: at most maxBytes in all are appended to *output, the rest is read
  // and dropped, so a child that prints without end neither blocks nor grows the text.
  // True when the output was closed; false at the deadline or without a captured child.
  bool ReadOutput(std::chrono::milliseconds timeout, std::size_t maxBytes, std::string* output);
  // True when the child ended within the timeout; its exit code is stored (128 + signal
  // number for a child ended by a signal) and the child is no longer running. False when
  // it still runs, or when no child runs.
  bool Wait(std::chrono::milliseconds timeout, int* exitCode);
  // Ends the running child at once; Wait collects it.
  void Kill();
  // Asks the running child to stop as a user's stop request does, so it can clean up
  // (SIGTERM on POSIX); Wait collects it. On Windows, where a console program's stop
  // request cannot be sent to one process alone, the child ends at once as with Kill.
  void RequestStop();
  // True from a successful Start until a Wait saw the child end.
  bool IsRunning() const { return m_process.IsValid(); }
  // User plus system processor time of the running child in seconds, at the system's
  // finest resolution (nanoseconds on Linux); negative when it cannot be read.
  double CpuSeconds() const;
  // Why the last Start failed, on one line: `cannot start "PROGRAM": REASON (system
  // error CODE)`. Empty after a Start that succeeded.
  const std::string& StartError() const { return m_startError; }

 private:
  // Record why Start failed and return false: Refuse for a reason of this class's own,
  // FailStart for the system's error code (which it also sets as the last error).
  bool Refuse(const std::string& program, const std::string& reason);
  bool FailStart(const std::string& program, DWORD code);
  bool Launch(const std::string& program, const std::vector<std::string>& arguments,
              const Environment& extraEnvironment, bool capture);

  platform::CProcessHandle m_process;
  platform::CFileHandle m_output;  // the read end of a captured child's output
  std::string m_startError;
};
