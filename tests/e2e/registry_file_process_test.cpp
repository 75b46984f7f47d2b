// A registry file a person broke, met by real processes: amberline-regsvr and the module
// it loads name the file and the line instead of failing without a word.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/reg_key.h"
#include "support/log_capture.h"
#include "support/registry_fixture.h"
#include "support/test_support.h"

namespace {

// Runs amberline-regsvr with args; its standard error goes to errors. Returns the exit code.
int RunRegsvr(const std::vector<std::string>& args, const std::filesystem::path& errors) {
  std::vector<std::string> shellArgs = {"-c", "exec \"$0\" \"$@\" 2> \"$AMBERLINE_TEST_ERR_FILE\"", AMBERLINE_REGSVR_PATH};
  shellArgs.insert(shellArgs.end(), args.begin(), args.end());
  CChildProcess regsvr;
  if (!regsvr.Start("/bin/sh", shellArgs, {{"AMBERLINE_TEST_ERR_FILE", errors.string()}})) return -1;
  int code = -1;
  if (!regsvr.Wait(std::chrono::milliseconds(60000), &code)) return -2;
  return code;
}

TEST(RegistryFileProcessTest, RegistrationIntoADamagedHiveNamesItsPathAndLine) {
  if (platform::RegistryRootFolder().empty()) GTEST_SKIP() << "the system keeps the registry on Windows";
  testing_support::CRegistrySandbox sandbox;
  sandbox.CreateLogFolder();
  const std::filesystem::path hive = sandbox.Root() / "registry" / "HKEY_CLASSES_ROOT.reg";
  const std::string damaged = "Windows Registry Editor Version 5.00\n\n[HKEY_CLASSES_ROOT\\CLSID]\n\"x\"=dword:\n";
  testing_support::WriteFile(hive, damaged);
  const std::filesystem::path errors = sandbox.Root() / "stderr.txt";

  EXPECT_EQ(RunRegsvr({"-s", testing_support::StagedModulePath().string()}, errors), 1);
  const std::string where = hive.string() + ", line 4: dword data that are not 1 to 8 hex digits";
  EXPECT_NE(testing_support::ReadFile(errors).find(where), std::string::npos) << testing_support::ReadFile(errors);
  EXPECT_NE(testing_support::LogMessages(sandbox.LogPath()).find(where), std::string::npos)
      << testing_support::LogMessages(sandbox.LogPath());
  EXPECT_EQ(testing_support::ReadFile(hive), damaged) << "the damaged file was changed";
}

// A damaged hive reads as partly empty: listing it, or unregistering from it, must not
// report "nothing registered" as a success while the registrations may be in the file.
TEST(RegistryFileProcessTest, ListingOrUnregisteringFromADamagedHiveFailsNamingIt) {
  if (platform::RegistryRootFolder().empty()) GTEST_SKIP() << "the system keeps the registry on Windows";
  testing_support::CRegistrySandbox sandbox;
  const std::filesystem::path hive = sandbox.Root() / "registry" / "HKEY_CLASSES_ROOT.reg";
  const std::string damaged = "Windows Registry Editor Version 5.00\n\n[HKEY_CLASSES_ROOT\\CLSID]\n\"x\"=dword:\n";
  testing_support::WriteFile(hive, damaged);
  const std::string where = hive.string() + ", line 4:";
  const std::filesystem::path errors = sandbox.Root() / "stderr.txt";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--list"}, std::vector<std::string>{"--prune"},
        std::vector<std::string>{"-u", testing_support::StagedModulePath().string()}}) {
    EXPECT_EQ(RunRegsvr(args, errors), 1) << args[0];
    EXPECT_NE(testing_support::ReadFile(errors).find(where), std::string::npos)
        << args[0] << ": " << testing_support::ReadFile(errors);
  }
  EXPECT_EQ(testing_support::ReadFile(hive), damaged) << "the damaged file was changed";
}

}  // namespace
