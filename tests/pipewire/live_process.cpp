#include "pipewire/live_process.h"

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdlib>

#include "support/test_support.h"

namespace testing_support {
namespace {

constexpr int kPidTimeoutMs = 10000;

}  // namespace

bool CLiveProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& outputFile, const CChildProcess::Environment& environment) {
  if (m_child.IsRunning()) {
    m_child.Kill();
    int code = 0;
    m_child.Wait(std::chrono::milliseconds(kPidTimeoutMs), &code);
  }
  m_output = outputFile;
  m_pidFile = outputFile;
  m_pidFile += ".pid";
  m_pid = 0;
  std::error_code error;
  std::filesystem::remove(m_pidFile, error);
  std::filesystem::remove(m_output, error);
  // "$1" the pid file, "$2" the output file, then the program and its arguments. setpriv
  // (util-linux) gives the program SIGKILL as its parent-death signal before it becomes it.
  std::vector<std::string> shell{
      "-c", "echo $$ > \"$1\"; out=\"$2\"; shift 2; exec setpriv --pdeathsig KILL \"$0\" \"$@\" > \"$out\" 2>&1",
      program, m_pidFile.string(), m_output.string()};
  shell.insert(shell.end(), arguments.begin(), arguments.end());
  if (!m_child.Start("/bin/sh", shell, environment)) return false;
  // The shell writes the id before it becomes the program; a whole line is the whole id.
  std::string pid;
  WaitUntil(
      [&] {
        pid = ReadFile(m_pidFile);
        return !pid.empty() && pid.back() == '\n';
      },
      kPidTimeoutMs);
  m_pid = std::strtol(pid.c_str(), nullptr, 10);
  return m_pid > 0;
}

std::string CLiveProcess::Output() const { return ReadFile(m_output); }

bool CLiveProcess::HasEnded() const {
  if (!m_child.IsRunning()) return true;
  // An ended child that is not collected yet is a zombie: state Z after its name.
  const std::string stat = ReadFile("/proc/" + std::to_string(m_pid) + "/stat");
  const std::size_t name = stat.rfind(')');
  return stat.empty() || (name != std::string::npos && stat.compare(name, 3, ") Z") == 0);
}

bool CLiveProcess::WaitForOutput(const std::regex& pattern, int timeoutMs, std::smatch* match, std::size_t from) {
  bool found = false;
  WaitUntil(
      [&] {
        // Read before looking at the process, so that what it printed before it ended counts.
        const bool ended = HasEnded();
        const std::string text = Output();
        m_matchedText = text.size() > from ? text.substr(from) : std::string();
        std::smatch local;
        found = std::regex_search(m_matchedText, match != nullptr ? *match : local, pattern);
        return found || ended;
      },
      timeoutMs);
  return found;
}

bool CLiveProcess::SendSignal(int signal) {
  return m_pid > 0 && !HasEnded() && ::kill(static_cast<pid_t>(m_pid), signal) == 0;
}

bool CLiveProcess::Terminate() { return SendSignal(SIGTERM); }

void CLiveProcess::Kill() { m_child.Kill(); }

bool CLiveProcess::Wait(int timeoutMs, int* exitCode) {
  return m_child.Wait(std::chrono::milliseconds(timeoutMs), exitCode);
}

}  // namespace testing_support
