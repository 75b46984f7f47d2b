// amberline-camera's systemd user service: the unit it writes and what it asks systemctl,
// with a systemctl of our own that records its arguments and answers as told.
#include "user_service.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::CTempDir;
using testing_support::ReadFile;
using testing_support::WriteFile;

class UserService : public testing::Test {
 protected:
  UserService() {
    fs::create_directories(m_dir.Path() / "bin");
    m_environment.configHome = (m_dir.Path() / "config").string();
    // A program path with the characters systemd and shells treat specially.
    m_environment.program = (m_dir.Path() / "my bin" / "amberline-camera").string();
    m_environment.searchPath = "/nonexistent:" + (m_dir.Path() / "bin").string();
  }

  // A systemctl that appends its arguments as one line to a log, and fails with
  // `output` and status 1 when its arguments contain failOn.
  void InstallSystemctl(const std::string& failOn = "", const std::string& output = "") {
    const fs::path script = m_dir.Path() / "bin" / "systemctl";
    WriteFile(script, "#!/bin/sh\n"
                      "echo \"$*\" >> '" + Log().string() + "'\n"
                      "case \"$*\" in *'" + (failOn.empty() ? "\x01" : failOn) + "'*) echo '" + output +
                          "'; exit 1;; esac\n"
                      "exit 0\n");
    fs::permissions(script, fs::perms::owner_all);
  }

  fs::path Log() const { return m_dir.Path() / "systemctl.log"; }
  std::string Calls() const { return ReadFile(Log()); }
  fs::path Unit() const { return m_dir.Path() / "config" / "systemd" / "user" / "amberline-camera.service"; }
  CUserService Service() const { return CUserService(m_environment); }

  // Whatever is in the unit's folder besides the unit: a temporary file left behind.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(Unit().parent_path(), ignored))
      if (entry.path().filename() != Unit().filename() && entry.path().filename() != "default.target.wants")
        names.push_back(entry.path().filename().string());
    return names;
  }

  CTempDir m_dir;
  CUserService::Environment m_environment;
};

TEST_F(UserService, InstallWritesTheUnitThenEnablesAndStartsIt) {
  InstallSystemctl();
  const CUserService::Outcome outcome = Service().Install({"Desk Cam", "100% \"$HOME\" \\o/"});
  EXPECT_EQ(outcome.exitCode, 0) << outcome.text;
  EXPECT_EQ(Calls(), "--user daemon-reload\n--user enable --now amberline-camera.service\n");
  const std::string unit = ReadFile(Unit());
  const std::string expected = "ExecStart=\"" + m_environment.program +
                               "\" --camera \"Desk Cam\" --camera \"100%% \\\"$$HOME\\\" \\\\o/\"\n";
  EXPECT_NE(unit.find(expected), std::string::npos) << unit;
  for (const char* line : {"After=pipewire.service\n", "Wants=pipewire.service\n", "Restart=on-failure\n",
                           "StartLimitBurst=5\n", "StartLimitIntervalSec=60\n", "WantedBy=default.target\n"})
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  struct stat status {};
  ASSERT_EQ(::stat(Unit().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(UserService, ReinstallReplacesTheUnitAndRestartsARunningService) {
  InstallSystemctl();
  ASSERT_EQ(Service().Install({"First"}).exitCode, 0);
  fs::remove(Log());
  const CUserService::Outcome outcome = Service().Install({});
  EXPECT_EQ(outcome.exitCode, 0) << outcome.text;
  EXPECT_EQ(Calls(),
            "--user daemon-reload\n--user enable --now amberline-camera.service\n"
            "--user try-restart amberline-camera.service\n");
  const std::string unit = ReadFile(Unit());
  EXPECT_EQ(unit.find("First"), std::string::npos);
  EXPECT_NE(unit.find("ExecStart=\"" + m_environment.program + "\"\n"), std::string::npos) << unit;
  EXPECT_NE(outcome.text.find("the service it replaces published 1 camera(s) named with --camera; this one publishes "
                              "the default camera only"),
            std::string::npos)
      << outcome.text;
  // Cameras given again: nothing to say; then none, after two; then none after none.
  EXPECT_EQ(Service().Install({"First", "Desk=desk"}).text.find("the service it replaces"), std::string::npos);
  EXPECT_NE(Service().Install({}).text.find("published 2 camera(s)"), std::string::npos);
  EXPECT_EQ(Service().Install({}).text.find("the service it replaces"), std::string::npos);
}

TEST_F(UserService, WithoutAUserManagerTheUnitStaysWrittenAndTheForegroundCommandIsGiven) {
  // No systemctl at all, then one that cannot reach a session bus.
  for (const bool withSystemctl : {false, true}) {
    if (withSystemctl) InstallSystemctl("daemon-reload", "Failed to connect to bus: No medium found");
    const CUserService::Outcome outcome = Service().Install({"It's here"});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.text;
    EXPECT_TRUE(fs::exists(Unit()));
    EXPECT_NE(outcome.text.find("'" + m_environment.program + "' --camera 'It'\\''s here'"), std::string::npos)
        << outcome.text;
    if (withSystemctl) {
      EXPECT_NE(outcome.text.find("Failed to connect to bus"), std::string::npos) << outcome.text;
      EXPECT_EQ(Calls(), "--user daemon-reload\n") << "nothing is enabled without a manager";
    } else {
      EXPECT_NE(outcome.text.find("no systemctl"), std::string::npos) << outcome.text;
    }
  }
}

TEST_F(UserService, ARefusalOfAReachableManagerIsAFailure) {
  InstallSystemctl("enable", "Failed to enable unit: Unit file amberline-camera.service is masked.");
  const CUserService::Outcome outcome = Service().Install({});
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_NE(outcome.text.find("is masked"), std::string::npos) << outcome.text;
  EXPECT_TRUE(fs::exists(Unit()));
}

// What systemctl prints is kept up to 64 KiB (65536 bytes) and no further: echo adds a
// line end, so 65535 characters arrive whole and 65536 lose nothing but that line end.
TEST_F(UserService, AManagersAnswerIsKeptUpToItsLimit) {
  // The answer is the longest run of x in the outcome (its other words may hold an x too).
  const auto kept = [](const std::string& text) {
    std::size_t longest = 0, run = 0;
    for (const char c : text) longest = std::max(longest, run = c == 'x' ? run + 1 : 0);
    return longest;
  };
  for (const std::size_t printed : {std::size_t{65535}, std::size_t{65536}}) {
    InstallSystemctl("enable", std::string(printed, 'x'));
    const CUserService::Outcome outcome = Service().Install({});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(kept(outcome.text), printed);
    fs::remove(Log());
  }
  InstallSystemctl("enable", std::string(65537, 'x'));
  const CUserService::Outcome outcome = Service().Install({});
  EXPECT_EQ(kept(outcome.text), 65536u)
      << "one character past the limit is dropped";
}

TEST_F(UserService, AnUnwritableFolderIsAClearFailureThatLeavesNothingBehind) {
  // Permission bits do not stop a privileged test run, so the obstacles are in the paths:
  // a unit folder that cannot be made (a file is in the way) ...
  WriteFile(m_dir.Path() / "config", "a file, not a folder");
  CUserService::Outcome outcome = Service().Install({});
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_NE(outcome.text.find("cannot create the folder"), std::string::npos) << outcome.text;
  // ... and a unit path that a folder occupies, so the rename fails.
  fs::remove(m_dir.Path() / "config");
  fs::create_directories(Unit() / "occupied");
  InstallSystemctl();
  outcome = Service().Install({});
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_NE(outcome.text.find("cannot write the user service " + Unit().string()), std::string::npos) << outcome.text;
  EXPECT_TRUE(Leftovers().empty()) << Leftovers().front();
  EXPECT_EQ(Calls(), "") << "systemd is not told about a unit that was not written";
}

TEST_F(UserService, InstallRefusesAProgramPathSystemdCannotRun) {
  InstallSystemctl();
  for (const std::string& program : {std::string(), std::string("relative/amberline-camera"),
                                    m_environment.program + " (deleted)", m_environment.program + "\n"}) {
    m_environment.program = program;
    EXPECT_EQ(Service().Install({}).exitCode, 1) << program;
  }
  EXPECT_FALSE(fs::exists(Unit()));
}

TEST_F(UserService, UninstallStopsAndRemovesTheService) {
  InstallSystemctl();
  ASSERT_EQ(Service().Install({}).exitCode, 0);
  fs::remove(Log());
  const CUserService::Outcome outcome = Service().Uninstall();
  EXPECT_EQ(outcome.exitCode, 0) << outcome.text;
  EXPECT_FALSE(fs::exists(Unit()));
  EXPECT_EQ(Calls(), "--user daemon-reload\n--user disable --now amberline-camera.service\n--user daemon-reload\n");

  // Nothing left to remove is not a failure, and systemd is not asked anything.
  fs::remove(Log());
  const CUserService::Outcome again = Service().Uninstall();
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_NE(again.text.find("no user service is installed"), std::string::npos) << again.text;
  EXPECT_EQ(Calls(), "");
}

TEST_F(UserService, UninstallWithoutAManagerRemovesTheUnitAndItsLoginLink) {
  ASSERT_EQ(Service().Install({}).exitCode, 0);
  const fs::path wants = Unit().parent_path() / "default.target.wants" / "amberline-camera.service";
  fs::create_directories(wants.parent_path());
  fs::create_symlink(Unit(), wants);
  const CUserService::Outcome outcome = Service().Uninstall();
  EXPECT_EQ(outcome.exitCode, 0) << outcome.text;
  EXPECT_FALSE(fs::exists(Unit()));
  EXPECT_FALSE(fs::is_symlink(wants));
}

TEST_F(UserService, UninstallReportsAServiceTheManagerCouldNotStop) {
  InstallSystemctl("disable", "Failed to stop amberline-camera.service: Access denied");
  ASSERT_EQ(Service().Install({}).exitCode, 0);
  const CUserService::Outcome outcome = Service().Uninstall();
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_NE(outcome.text.find("Access denied"), std::string::npos) << outcome.text;
  EXPECT_FALSE(fs::exists(Unit()));
}

TEST_F(UserService, ASystemctlThatHangsIsStoppedAndCountsAsAFailure) {
  // A start job that never finishes keeps `enable --now` waiting; the install must end.
  InstallSystemctl();
  WriteFile(m_dir.Path() / "bin" / "systemctl",
            "#!/bin/sh\ncase \"$*\" in *enable*) echo 'Job queued'; exec sleep 60;; esac\nexit 0\n");
  m_environment.commandTimeoutSeconds = 1;
  const auto start = std::chrono::steady_clock::now();
  const CUserService::Outcome outcome = Service().Install({});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_NE(outcome.text.find("Job queued"), std::string::npos) << outcome.text;
  EXPECT_NE(outcome.text.find("no answer within 1 seconds"), std::string::npos) << outcome.text;
}

// The unit a package installs runs the same service as the one --install-user-service
// writes, for the default camera; only the comment about where it came from differs.
TEST(UserServiceText, PackagedUnitIsTheWrittenUnitForTheDefaultCamera) {
  const std::string packaged = CUserService::PackagedUnitText("/usr/bin/amberline-camera");
  const std::string written = CUserService::UnitText("/usr/bin/amberline-camera", {});
  ASSERT_NE(packaged.find("[Unit]"), std::string::npos) << packaged;
  EXPECT_EQ(packaged.substr(packaged.find("[Unit]")), written.substr(written.find("[Unit]")));
  EXPECT_NE(packaged.find("\nExecStart=\"/usr/bin/amberline-camera\"\n"), std::string::npos) << packaged;
  EXPECT_EQ(packaged.find("--uninstall-user-service"), std::string::npos) << packaged;
}

// systemd's own reader of unit files, where the system has it: the unit written for
// awkward names and paths must load without a warning.
TEST_F(UserService, SystemdReadsTheUnitWithoutComplaint) {
  const char* analyze = "/usr/bin/systemd-analyze";
  if (::access(analyze, X_OK) != 0) GTEST_SKIP() << "no systemd-analyze here";
  // verify checks that the program exists and can be executed.
  fs::create_directories(fs::path(m_environment.program).parent_path());
  WriteFile(m_environment.program, "#!/bin/sh\n");
  fs::permissions(m_environment.program, fs::perms::owner_all);
  ASSERT_EQ(Service().Install({"Desk Cam", "100% \"$HOME\" \\o/ ${X} %n 'q' ;"}).exitCode, 0);
  const fs::path output = m_dir.Path() / "analyze.txt";
  const std::string command = std::string(analyze) + " verify '" + Unit().string() + "' > '" + output.string() +
                              "' 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << ReadFile(output);
  EXPECT_EQ(ReadFile(output), "");
}

}  // namespace
