// A registry file a person broke, met by real processes: amberline-regsvr and the module
// it loads name the file and the line instead of failing without a word.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/child_process.h"
#include "platform/reg_key.h"
#include "support/log_capture.h"
#include "support/registry_fixture.h"
#include "support/test_support.h"

namespace {

TEST(RegistryFileProcessTest, RegistrationIntoADamagedHiveNamesItsPathAndLine) {
  if (platform::RegistryRootFolder().empty()) GTEST_SKIP() << "the system keeps the registry on Windows";
  testing_support::CRegistrySandbox sandbox;
  sandbox.CreateLogFolder();
  const std::filesystem::path hive = sandbox.Root() / "registry" / "HKEY_CLASSES_ROOT.reg";
  const std::string damaged = "Windows Registry Editor Version 5.00\n\n[HKEY_CLASSES_ROOT\\CLSID]\n\"x\"=dword:\n";
  testing_support::WriteFile(hive, damaged);
  const std::filesystem::path errors = sandbox.Root() / "stderr.txt";

  CChildProcess regsvr;
  ASSERT_TRUE(regsvr.Start("/bin/sh", {"-c", "exec \"$0\" \"$@\" 2> \"$AMBERLINE_TEST_ERR_FILE\"", AMBERLINE_REGSVR_PATH,
                                       "-s", testing_support::StagedModulePath().string()},
                           {{"AMBERLINE_TEST_ERR_FILE", errors.string()}}));
  int code = -1;
  ASSERT_TRUE(regsvr.Wait(60000, &code));
  EXPECT_EQ(code, 1);
  const std::string where = hive.string() + ", line 4: dword data that are not 1 to 8 hex digits";
  EXPECT_NE(testing_support::ReadFile(errors).find(where), std::string::npos) << testing_support::ReadFile(errors);
  EXPECT_NE(testing_support::LogMessages(sandbox.LogPath()).find(where), std::string::npos)
      << testing_support::LogMessages(sandbox.LogPath());
  EXPECT_EQ(testing_support::ReadFile(hive), damaged) << "the damaged file was changed";
}

}  // namespace
