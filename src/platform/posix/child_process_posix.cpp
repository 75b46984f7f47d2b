#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/child_process.h"

extern char** environ;

bool CChildProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                          const Environment& extraEnvironment) {
  if (IsRunning()) return Refuse(program, "a child started by this object still runs");
  m_startError.clear();
  std::vector<std::string> argStorage;
  argStorage.push_back(program);
  argStorage.insert(argStorage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : argStorage) argv.push_back(a.data());
  argv.push_back(nullptr);

  // This process's environment, with the extra variables replacing same-named ones.
  std::vector<std::string> envStorage;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const char* eq = std::strchr(*e, '=');
    const std::string name = eq != nullptr ? std::string(*e, static_cast<std::size_t>(eq - *e)) : std::string(*e);
    bool replaced = false;
    for (const auto& [key, value] : extraEnvironment) replaced = replaced || key == name;
    if (!replaced) envStorage.emplace_back(*e);
  }
  for (const auto& [key, value] : extraEnvironment) envStorage.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& e : envStorage) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data());
  if (spawned != 0) return FailStart(program, static_cast<DWORD>(spawned));
  m_process.Reset(pid);
  return true;
}

bool CChildProcess::Wait(std::chrono::milliseconds timeout, int* exitCode) {
  if (!IsRunning()) return false;
  const pid_t pid = m_process.Get();
  const long long timeoutMs = platform::WaitMilliseconds(timeout);
  const bool infinite = timeout == platform::kInfinite;
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      // Reaped: the id is no longer this child's, so it is given up, never killed.
      (void)m_process.Release();
      if (exitCode != nullptr) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return true;
    }
    if (r < 0 && errno != EINTR) {
      // Not our child to wait for (any more): nothing is left to end.
      (void)m_process.Release();
      return false;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long elapsed = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (!infinite && elapsed >= timeoutMs) return false;
    timespec pause{0, 2 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

double CChildProcess::CpuSeconds() const {
  if (!IsRunning()) return -1;
  // The child's own processor-time clock: exact, unlike the clock ticks of /proc/<pid>/stat.
  clockid_t clock = 0;
  timespec used{};
  if (clock_getcpuclockid(m_process.Get(), &clock) != 0 || clock_gettime(clock, &used) != 0) return -1;
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
}

void CChildProcess::Kill() {
  if (IsRunning()) kill(m_process.Get(), SIGKILL);
}

void CChildProcess::RequestStop() {
  if (IsRunning()) kill(m_process.Get(), SIGTERM);
}
