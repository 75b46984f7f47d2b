#include "user_service.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/child_process.h"
#include "platform/paths.h"
#include "platform/posix/replace_file.h"
#include "platform/wide_string.h"


namespace {

// A systemctl that prints without end must not grow the message without end.
constexpr std::size_t kMaxCommandOutput = 64 * 1024;

std::string ErrorText(int error) { return std::strerror(error); }

// output without trailing blank space, each line indented for quoting in a message.
std::string Indented(const std::string& output) {
  std::string text = output;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) text.pop_back();
  if (text.empty()) return "  (no output)\n";
  std::string result = "  ";
  for (const char c : text) {
    result.push_back(c);
    if (c == '\n') result += "  ";
  }
  return result + "\n";
}

std::string Describe(const std::vector<std::string>& arguments) {
  std::string text = "systemctl";
  for (const std::string& argument : arguments) text += " " + argument;
  return text;
}

// "exited with status N" / "was ended by signal N".
std::string Status(int exitCode) {
  return exitCode > 128 ? "was ended by signal " + std::to_string(exitCode - 128)
                        : "exited with status " + std::to_string(exitCode);
}

}  // namespace

std::string FindProgram(const std::string& name, const std::string& searchPath) {
  std::size_t start = 0;
  while (start <= searchPath.size()) {
    std::size_t end = searchPath.find(':', start);
    if (end == std::string::npos) end = searchPath.size();
    const std::string folder = searchPath.substr(start, end - start);
    // An empty entry would mean the current folder: never run a program from there.
    if (!folder.empty() && folder.front() == '/') {
      const std::string candidate = folder + (folder.back() == '/' ? "" : "/") + name;
      struct stat status {};
      if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
        return candidate;
    }
    start = end + 1;
  }
  return {};
}

CUserService::Environment CUserService::FromProcess() {
  Environment environment;
  environment.configHome = platform::WideToUtf8(platform::GetRoamingAppDataFolder());
  environment.program = platform::WideToUtf8(platform::GetHostExecutablePath());
  const char* path = std::getenv("PATH");
  environment.searchPath = path != nullptr ? path : "";
  return environment;
}

CUserService::CUserService(Environment environment) : m_environment(std::move(environment)) {}

std::string CUserService::UnitPath() const {
  if (m_environment.configHome.empty() || m_environment.configHome.front() != '/') return {};
  std::string home = m_environment.configHome;
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return (home == "/" ? "" : home) + "/systemd/user/" + kUnitName;
}

std::string CUserService::QuoteForSystemd(const std::string& argument) {
  std::string quoted = "\"";
  for (const char ch : argument) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\\' || c == '"') {
      quoted.push_back('\\');
      quoted.push_back(ch);
    } else if (c == '%' || c == '$') {
      quoted.push_back(ch);
      quoted.push_back(ch);
    } else if (c < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned int>(c));
      quoted += escape;
    } else {
      quoted.push_back(ch);
    }
  }
  return quoted + "\"";
}

std::string CUserService::QuoteForShell(const std::string& argument) {
  const bool plain = !argument.empty() && argument.find_first_not_of(
                                              "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_/.,:=+@-") ==
                                              std::string::npos;
  if (plain) return argument;
  std::string quoted = "'";
  for (const char c : argument) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted.push_back(c);
  }
  return quoted + "'";
}

std::string CUserService::UnitText(const std::string& program, const std::vector<std::string>& cameras) {
  return UnitTextWithOrigin(
      program, cameras, "# Written by amberline-camera --install-user-service; removed by --uninstall-user-service.\n");
}

std::string CUserService::PackagedUnitText(const std::string& program) {
  return UnitTextWithOrigin(program, {},
                            "# Installed with the program; enable it with systemctl --user enable --now " +
                                std::string(kUnitName) +
                                ".\n"
                                "# amberline-camera --install-user-service --camera NAME... writes a unit of the same "
                                "name\n# in the user's own folder, which takes the place of this one.\n");
}

std::string CUserService::UnitTextWithOrigin(const std::string& program, const std::vector<std::string>& cameras,
                                             const std::string& origin) {
  std::string command = QuoteForSystemd(program);
  for (const std::string& camera : cameras) command += " --camera " + QuoteForSystemd(camera);
  return "# The Amberline cameras for PipeWire applications, as a user service.\n" + origin +
         "[Unit]\n"
         "Description=Amberline PipeWire camera\n"
         "After=pipewire.service\n"
         "Wants=pipewire.service\n"
         "StartLimitIntervalSec=" +
         std::to_string(kStartIntervalSeconds) +
         "\n"
         "StartLimitBurst=" +
         std::to_string(kStartBurst) +
         "\n"
         "\n"
         "[Service]\n"
         "Type=simple\n"
         "ExecStart=" +
         command +
         "\n"
         "Restart=on-failure\n"
         "RestartSec=" +
         std::to_string(kRestartDelaySeconds) +
         "\n"
         "\n"
         "[Install]\n"
         "WantedBy=default.target\n";
}

std::string CUserService::ForegroundCommand(const std::vector<std::string>& cameras) const {
  std::string command = QuoteForShell(m_environment.program);
  for (const std::string& camera : cameras) command += " --camera " + QuoteForShell(camera);
  return command;
}

CUserService::CommandResult CUserService::Systemctl(const std::vector<std::string>& arguments) const {
  CommandResult result;
  const std::string program = FindProgram("systemctl", m_environment.searchPath);
  if (program.empty()) return result;

  result.found = true;
  CChildProcess systemctl;
  if (!systemctl.StartCaptured(program, arguments)) {
    result.output = systemctl.StartError();
    return result;
  }
  // The output is collected until the pipe closes; a systemctl that hangs past the
  // deadline is killed so that the caller never waits for ever, and one that prints
  // without end does not grow the message without end.
  const std::chrono::seconds timeout(m_environment.commandTimeoutSeconds);
  const bool closed = systemctl.ReadOutput(timeout, kMaxCommandOutput, &result.output);
  if (!closed) systemctl.Kill();
  int code = -1;
  // Output closed: the program has ended or is about to; killed: it ends at once.
  if (!systemctl.Wait(closed ? timeout : std::chrono::seconds(10), &code)) {
    systemctl.Kill();
    systemctl.Wait(std::chrono::seconds(10), &code);
  }
  result.exitCode = code;
  if (!closed) {
    result.exitCode = 128 + SIGKILL;
    result.output += "\n(no answer within " + std::to_string(m_environment.commandTimeoutSeconds) + " seconds; stopped)";
  }
  return result;
}

CUserService::Outcome CUserService::Install(const std::vector<std::string>& cameras) {
  Outcome outcome;
  outcome.exitCode = 1;
  const std::string& program = m_environment.program;
  if (program.empty() || program.front() != '/') {
    outcome.text = "amberline-camera: cannot tell where this program is (/proc/self/exe), so no service can run it\n";
    return outcome;
  }
  for (const char c : program) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      outcome.text = "amberline-camera: this program's path has control characters, which systemd does not accept "
                     "in a command; move it to a plain folder\n";
      return outcome;
    }
  }
  static const std::string kDeleted = " (deleted)";
  if (program.size() > kDeleted.size() && program.compare(program.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    outcome.text = "amberline-camera: this program's file (" + program.substr(0, program.size() - kDeleted.size()) +
                   ") was removed or replaced after it started; run the installed program with "
                   "--install-user-service again\n";
    return outcome;
  }
  const std::string unit = UnitPath();
  if (unit.empty()) {
    outcome.text = "amberline-camera: cannot tell the configuration folder (neither XDG_CONFIG_HOME nor HOME gives "
                   "an absolute path), so the user service cannot be written\n";
    return outcome;
  }
  const std::filesystem::path folder = std::filesystem::path(unit).parent_path();
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    outcome.text = "amberline-camera: cannot create the folder " + folder.string() + ": " + error.message() + "\n";
    return outcome;
  }
  struct stat status {};
  const bool replacing = ::lstat(unit.c_str(), &status) == 0;
  // A service installed again without --camera publishes the default camera alone; the
  // cameras the earlier unit named are said, so that none is dropped unnoticed.
  std::size_t earlierCameras = 0;
  if (replacing && cameras.empty()) {
    std::ifstream earlier(unit);
    for (std::string line; std::getline(earlier, line);)
      if (line.rfind("ExecStart=", 0) == 0)
        for (std::size_t at = line.find(" --camera "); at != std::string::npos; at = line.find(" --camera ", at + 1))
          ++earlierCameras;
  }
  // Mode 0644, as systemd's own units.
  if (const int written = platform::posix::ReplaceFileContents(unit, UnitText(program, cameras), 0644);
      written != 0) {
    outcome.text = "amberline-camera: cannot write the user service " + unit + ": " + ErrorText(written) + "\n";
    return outcome;
  }
  outcome.text = "amberline-camera: wrote the user service " + unit + "\n";
  if (earlierCameras > 0)
    outcome.text += "amberline-camera: the service it replaces published " + std::to_string(earlierCameras) +
                    " camera(s) named with --camera; this one publishes the default camera only (install again with "
                    "their --camera arguments to keep them)\n";

  const std::vector<std::string> reload = {"--user", "daemon-reload"};
  const CommandResult reloaded = Systemctl(reload);
  if (!reloaded.found || reloaded.exitCode != 0) {
    outcome.exitCode = 0;
    if (!reloaded.found)
      outcome.text += "There is no systemctl here, so systemd cannot start the service.\n";
    else
      outcome.text += "systemd's user manager cannot be reached here (" + Describe(reload) + " " +
                      Status(reloaded.exitCode) + "):\n" + Indented(reloaded.output) +
                      "so the service is neither enabled nor started. Where a systemd user session runs, install it\n"
                      "again there, or enable it with: systemctl --user enable --now " +
                      kUnitName + "\n";
    outcome.text += "To use the camera now, run it in the foreground (Ctrl+C stops it):\n  " +
                    ForegroundCommand(cameras) + "\n";
    return outcome;
  }

  const std::vector<std::string> enable = {"--user", "enable", "--now", kUnitName};
  const CommandResult enabled = Systemctl(enable);
  if (enabled.exitCode != 0) {
    outcome.text += "amberline-camera: " + Describe(enable) + " " + Status(enabled.exitCode) + ":\n" +
                    Indented(enabled.output) + "The unit is written but the service is not running.\n";
    return outcome;
  }
  if (replacing) {
    // enable --now leaves a service that already runs alone: restart it so that it runs
    // the command line just written.
    const std::vector<std::string> restart = {"--user", "try-restart", kUnitName};
    const CommandResult restarted = Systemctl(restart);
    if (restarted.exitCode != 0) {
      outcome.text += "amberline-camera: " + Describe(restart) + " " + Status(restarted.exitCode) + ":\n" +
                      Indented(restarted.output) + "The service may still run with its earlier cameras.\n";
      return outcome;
    }
  }
  outcome.exitCode = 0;
  outcome.text += "The service " + std::string(kUnitName) +
                  " is enabled and started; systemd starts it at every login. Remove it with:\n  " +
                  QuoteForShell(program) + " --uninstall-user-service\n";
  return outcome;
}

CUserService::Outcome CUserService::Uninstall() {
  Outcome outcome;
  outcome.exitCode = 1;
  const std::string unit = UnitPath();
  if (unit.empty()) {
    outcome.text = "amberline-camera: cannot tell the configuration folder (neither XDG_CONFIG_HOME nor HOME gives "
                   "an absolute path), so there is no user service to remove\n";
    return outcome;
  }
  struct stat status {};
  if (::lstat(unit.c_str(), &status) != 0) {
    if (errno != ENOENT) {
      outcome.text = "amberline-camera: cannot look at " + unit + ": " + ErrorText(errno) + "\n";
      return outcome;
    }
    outcome.exitCode = 0;
    outcome.text = "amberline-camera: no user service is installed (there is no " + unit + "); nothing to remove\n";
    return outcome;
  }

  const std::vector<std::string> reload = {"--user", "daemon-reload"};
  const CommandResult reachable = Systemctl(reload);
  const bool managed = reachable.found && reachable.exitCode == 0;
  std::string failure;
  if (managed) {
    const std::vector<std::string> disable = {"--user", "disable", "--now", kUnitName};
    const CommandResult disabled = Systemctl(disable);
    if (disabled.exitCode != 0)
      failure = "amberline-camera: " + Describe(disable) + " " + Status(disabled.exitCode) + ":\n" +
                Indented(disabled.output) + "The service may still be running.\n";
  } else {
    // What `disable` would remove: the link that starts the service at login.
    const std::string wants =
        std::filesystem::path(unit).parent_path().string() + "/default.target.wants/" + kUnitName;
    struct stat link {};
    if (::lstat(wants.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) ::unlink(wants.c_str());
  }

  if (::unlink(unit.c_str()) != 0 && errno != ENOENT) {
    outcome.text = failure + "amberline-camera: cannot remove " + unit + ": " + ErrorText(errno) + "\n";
    return outcome;
  }
  outcome.text = "amberline-camera: removed the user service " + unit + "\n";
  // The manager forgets the removed unit; it is stopped and disabled already.
  if (managed) (void)Systemctl(reload);
  if (!failure.empty()) {
    outcome.text += failure;
    return outcome;
  }
  outcome.exitCode = 0;
  if (managed)
    outcome.text += "The service is stopped and no longer starts at login.\n";
  else
    outcome.text += std::string(reachable.found ? "systemd's user manager cannot be reached here"
                                                : "There is no systemctl here") +
                    ", so nothing was stopped; an amberline-camera running in the foreground stops with Ctrl+C.\n";
  return outcome;
}
