#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/child_process.h"

extern char** environ;

CChildProcess::~CChildProcess() {
  if (m_running) {
    Kill();
    int code = 0;
    Wait(10000, &code);
  }
}

CChildProcess::CChildProcess(CChildProcess&& other) noexcept
    : m_id(std::exchange(other.m_id, 0)), m_running(std::exchange(other.m_running, false)) {}

CChildProcess& CChildProcess::operator=(CChildProcess&& other) noexcept {
  if (this != &other) {
    this->~CChildProcess();
    m_id = std::exchange(other.m_id, 0);
    m_running = std::exchange(other.m_running, false);
  }
  return *this;
}

bool CChildProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                          const Environment& extraEnvironment) {
  if (m_running) return false;
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
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) return false;
  m_id = pid;
  m_running = true;
  return true;
}

bool CChildProcess::Wait(int timeoutMs, int* exitCode) {
  if (!m_running) return false;
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(static_cast<pid_t>(m_id), &status, WNOHANG);
    if (r == static_cast<pid_t>(m_id)) {
      m_running = false;
      if (exitCode != nullptr) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return true;
    }
    if (r < 0 && errno != EINTR) {
      m_running = false;
      return false;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long elapsed = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsed >= timeoutMs) return false;
    timespec pause{0, 2 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

double CChildProcess::CpuSeconds() const {
  if (!m_running) return -1;
  // The child's own processor-time clock: exact, unlike the clock ticks of /proc/<pid>/stat.
  clockid_t clock = 0;
  timespec used{};
  if (clock_getcpuclockid(static_cast<pid_t>(m_id), &clock) != 0 || clock_gettime(clock, &used) != 0) return -1;
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
}

void CChildProcess::Kill() {
  if (m_running) kill(static_cast<pid_t>(m_id), SIGKILL);
}
