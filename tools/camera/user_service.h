// CUserService: amberline-camera as a systemd user service.
//
// Install writes the unit <config home>/systemd/user/amberline-camera.service (config
// home: $XDG_CONFIG_HOME when absolute, else ~/.config) whose ExecStart runs the program
// (its absolute path) with the --camera arguments given, after and wanting
// pipewire.service, restarted on failure at most kStartBurst times in
// kStartIntervalSeconds, wanted by default.target. The file is written whole or not at
// all (a temporary file in the same folder, flushed, then renamed over the unit). Then,
// when `systemctl --user` reaches a user manager, it reloads the units and enables and
// starts the service (a running service whose unit was replaced is restarted, so it
// takes the new cameras). Without a user manager (no systemctl, or no session bus) the
// unit stays written, the text says so and how to run the program in the foreground,
// and the exit status is still 0.
//
// Uninstall stops and disables the service when a user manager is reachable, removes
// the unit and reloads; with no unit it says that there is nothing to remove (status 0).
//
// Exit statuses: 0 done (also when systemd was not reachable); 1 the unit could not be
// written or removed, the program's own path is unknown, or a reachable user manager
// refused to enable, start or stop the service. Every outcome comes with text for the
// user (standard output for 0, standard error otherwise).
//
// systemctl is looked up in the given search path and run with its output collected;
// one that does not end within the timeout (kCommandTimeoutSeconds unless the
// environment gives another) is killed and counted as failed.
// Threading: one call at a time per object; no threads of its own. Never throws beyond
// std::bad_alloc.
#pragma once

#include <string>
#include <vector>

// The first executable file called name in the absolute folders of searchPath (as in
// PATH; empty and relative entries are skipped, so nothing runs from the current folder);
// empty when none.
std::string FindProgram(const std::string& name, const std::string& searchPath);

class CUserService {
 public:
  static constexpr const char* kUnitName = "amberline-camera.service";
  static constexpr int kStartBurst = 5;
  static constexpr int kStartIntervalSeconds = 60;
  static constexpr int kRestartDelaySeconds = 2;
  static constexpr int kCommandTimeoutSeconds = 30;

  struct Environment {
    std::string configHome;  // absolute; empty: unknown
    std::string program;     // absolute path of the program the unit runs; empty: unknown
    std::string searchPath;  // where systemctl is looked for, as in PATH
    int commandTimeoutSeconds = kCommandTimeoutSeconds;  // for each run of systemctl
  };

  struct Outcome {
    int exitCode = 0;
    std::string text;  // one or more lines, each ending in '\n'
  };

  // This process's environment: XDG_CONFIG_HOME / HOME, /proc/self/exe, PATH.
  static Environment FromProcess();

  explicit CUserService(Environment environment);

  Outcome Install(const std::vector<std::string>& cameras);
  Outcome Uninstall();

  // <config home>/systemd/user/amberline-camera.service; empty when the config home is unknown.
  std::string UnitPath() const;
  // The unit's text for program run with --camera NAME for each of cameras.
  static std::string UnitText(const std::string& program, const std::vector<std::string>& cameras);
  // The unit a system installation ships (for every user, disabled until a user enables
  // it): the same service running program with the default camera.
  static std::string PackagedUnitText(const std::string& program);
  // argument as one word of an ExecStart line: double-quoted, with '\\' and '"' and
  // control characters escaped C-style, '%' doubled (no specifier) and '$' doubled (no
  // variable), so systemd passes exactly argument to the program.
  static std::string QuoteForSystemd(const std::string& argument);
  // argument as one word of a POSIX shell command line (single-quoted when needed).
  static std::string QuoteForShell(const std::string& argument);

 private:
  struct CommandResult {
    bool found = false;  // systemctl was found and started
    int exitCode = -1;   // 128 + signal for one ended by a signal; -1 when not started
    std::string output;  // standard output and error together
  };

  static std::string UnitTextWithOrigin(const std::string& program, const std::vector<std::string>& cameras,
                                        const std::string& origin);
  CommandResult Systemctl(const std::vector<std::string>& arguments) const;
  std::string ForegroundCommand(const std::vector<std::string>& cameras) const;

  Environment m_environment;
};
