#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/child_process.h"

extern char** environ;

bool CChildProcess::Launch(const std::string& program, const std::vector<std::string>& arguments,
                           const Environment& extraEnvironment, bool capture) {
  if (IsRunning()) return Refuse(program, "a child started by this object still runs");
  m_startError.clear();
  m_output.Reset();
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

  // Captured: input from /dev/null, output and error into the pipe; this process keeps
  // only the read end (both ends close on exec, the child's copies are its 1 and 2).
  int pipeEnds[2] = {-1, -1};
  if (capture && ::pipe2(pipeEnds, O_CLOEXEC) != 0) return FailStart(program, static_cast<DWORD>(errno));
  platform::CFileHandle readEnd(pipeEnds[0]), writeEnd(pipeEnds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (capture) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), 1);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), 2);
  }
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return FailStart(program, static_cast<DWORD>(spawned));
  m_process.Reset(pid);
  if (capture) m_output = std::move(readEnd);
  return true;
}

bool CChildProcess::ReadOutput(std::chrono::milliseconds timeout, std::size_t maxBytes, std::string* output) {
  if (!m_output.IsValid() || output == nullptr) return false;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  std::size_t kept = 0;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd readable{m_output.Get(), POLLIN, 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
    if (ready <= 0) continue;  // interrupted, or the time is up (seen above)
    char buffer[4096];
    const ssize_t n = ::read(m_output.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      m_output.Reset();
      return true;
    }
    const std::size_t take = std::min(static_cast<std::size_t>(n), maxBytes - kept);
    output->append(buffer, take);
    kept += take;
  }
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
