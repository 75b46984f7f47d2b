// CChildProcess: a program started by this process, for tools and tests that work
// across processes.
//
// Start runs the program with its arguments and, optionally, extra environment
// variables added to this process's own; its standard streams are inherited. Wait has a
// deadline and never hangs. Kill ends the program at once (SIGKILL / TerminateProcess).
// CpuSeconds reads the processor time the child has used so far (for measurements).
// Ownership: move-only; destroying a running child kills and reaps it.
#pragma once

#include <string>
#include <utility>
#include <vector>

class CChildProcess {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;

  CChildProcess() = default;
  ~CChildProcess();
  CChildProcess(CChildProcess&& other) noexcept;
  CChildProcess& operator=(CChildProcess&& other) noexcept;
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  bool Start(const std::string& program, const std::vector<std::string>& arguments,
             const Environment& extraEnvironment = {});
  // True when the child ended within timeoutMs; its exit code is stored (128 + signal
  // number for a child ended by a signal).
  bool Wait(int timeoutMs, int* exitCode);
  void Kill();
  bool IsRunning() const { return m_running; }
  // User plus system processor time of the running child in seconds, at the system's
  // finest resolution (nanoseconds on Linux); negative when it cannot be read.
  double CpuSeconds() const;

 private:
  long long m_id = 0;  // process id (Linux) or process handle (Windows)
  bool m_running = false;
};
