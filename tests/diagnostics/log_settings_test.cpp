#include "diagnostics/log_settings.h"

#include <gtest/gtest.h>

#include "diagnostics/log_file.h"
#include "platform/reg_key.h"
#include "support/log_capture.h"
#include "support/registry_fixture.h"

namespace {

using testing_support::CRegistrySandbox;
using testing_support::ReadFile;

const char* const kBanner =
    "============================\n VideoSrc\n============================\nLogging level = ";

struct SettingsCase {
  const char* name;
  const char* userHive;  // body of HKEY_CURRENT_USER.reg, null for no file
  bool expectFile;
  int expectLevel;
  const char* note = "";  // the line after the banner
};

class LogSettingsTest : public testing::TestWithParam<SettingsCase> {};

TEST_P(LogSettingsTest, ChoosesWhetherAndHowMuchToLog) {
  CRegistrySandbox sandbox;
  sandbox.CreateLogFolder();
  if (GetParam().userHive != nullptr) sandbox.WriteHive("HKEY_CURRENT_USER", GetParam().userHive);
  CLogFile log;
  ConfigureLogFromSettings(log);
  EXPECT_EQ(log.Level(), GetParam().expectLevel);
  log.Write(1, L"level one\n");
  log.Close();
  EXPECT_EQ(std::filesystem::exists(sandbox.LogPath()), GetParam().expectFile);
  if (GetParam().expectFile) {
    const std::string text = testing_support::LogMessages(sandbox.LogPath());
    std::string expected = kBanner + std::to_string(GetParam().expectLevel) + "\n" + GetParam().note;
    if (GetParam().expectLevel >= 1) expected += "level one\n";
    EXPECT_EQ(text, expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Registry, LogSettingsTest,
    testing::Values(
        SettingsCase{"NoSettingsKey", nullptr, true, 0},
        SettingsCase{"EmptyKey", "[HKEY_CURRENT_USER\\SOFTWARE\\Trelvox]\n", true, 0},
        SettingsCase{"LevelThree", "[HKEY_CURRENT_USER\\SOFTWARE\\Trelvox]\n\"LoggingLevel\"=dword:00000003\n", true, 3},
        SettingsCase{"EnableLoggingAsStringStaysOn",
                     "[HKEY_CURRENT_USER\\SOFTWARE\\Trelvox]\n\"EnableLogging\"=\"0\"\n\"LoggingLevel\"=dword:00000001\n",
                     true, 1},
        SettingsCase{"DisabledWritesNothingWhateverTheLevel",
                     "[HKEY_CURRENT_USER\\SOFTWARE\\Trelvox]\n\"EnableLogging\"=dword:00000000\n"
                     "\"LoggingLevel\"=dword:00000003\n",
                     false, 3},
        SettingsCase{"LevelAboveTheHighestIsTheHighest",
                     "[HKEY_CURRENT_USER\\SOFTWARE\\Trelvox]\n\"LoggingLevel\"=dword:00000004\n", true, 3,
                     "LoggingLevel 4 is above the highest level; using 3\n"},
        SettingsCase{"AllBitsSetIsTheHighestNotOff",
                     "[HKEY_CURRENT_USER\\SOFTWARE\\Trelvox]\n\"LoggingLevel\"=dword:ffffffff\n", true, 3,
                     "LoggingLevel 4294967295 is above the highest level; using 3\n"},
        SettingsCase{"LevelOfWrongTypeIsZero", "[HKEY_CURRENT_USER\\SOFTWARE\\Trelvox]\n\"LoggingLevel\"=\"3\"\n", true, 0},
        SettingsCase{"NamesIgnoreLetterCase", "[HKEY_CURRENT_USER\\software\\trelvox]\n\"logginglevel\"=dword:00000002\n",
                     true, 2}),
    [](const testing::TestParamInfo<SettingsCase>& info) { return std::string(info.param.name); });

TEST(LogSettingsStartupTest, MissingTrelvoxFolderMeansNoLogAndNoError) {
  CRegistrySandbox sandbox;
  CLogFile log;
  ConfigureLogFromSettings(log);
  EXPECT_FALSE(log.IsOpen());
  EXPECT_FALSE(std::filesystem::exists(sandbox.AppData() / "Trelvox"));
  EXPECT_EQ(log.Path(), sandbox.LogPath().wstring());
}

TEST(LogSettingsStartupTest, RegistryFileThatDoesNotParseIsNamedWithItsLine) {
  if (platform::RegistryRootFolder().empty()) GTEST_SKIP() << "the system keeps the registry on Windows";
  CRegistrySandbox sandbox;
  sandbox.CreateLogFolder();
  const auto hive = sandbox.Root() / "registry" / "HKEY_LOCAL_MACHINE.reg";
  testing_support::WriteFile(hive, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:\n");
  CLogFile log;
  ConfigureLogFromSettings(log);
  log.Close();
  EXPECT_EQ(testing_support::LogMessages(sandbox.LogPath()),
            kBanner + std::string("0\nA registry file does not parse, and nothing will be written to it until it is mended: ") +
                hive.string() + ", line 4: dword data that are not 1 to 8 hex digits\n");
}

TEST(LogSettingsStartupTest, ReadOnlySettingsKeyMeansDefaults) {
  if (platform::RegistryRootFolder().empty())
    GTEST_SKIP() << "a read-only key needs an access list on the system registry; this test makes one by file "
                    "permissions where the registry is kept in files";
  CRegistrySandbox sandbox;
  sandbox.CreateLogFolder();
  sandbox.WriteHive("HKEY_CURRENT_USER",
                    "[HKEY_CURRENT_USER\\SOFTWARE\\Trelvox]\n\"EnableLogging\"=dword:00000000\n");
  const auto hive = sandbox.Root() / "registry" / "HKEY_CURRENT_USER.reg";
  std::filesystem::permissions(hive, std::filesystem::perms::owner_read);
  std::filesystem::permissions(sandbox.Root() / "registry", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  if (FILE* probe = std::fopen(hive.string().c_str(), "a")) {
    std::fclose(probe);
    std::filesystem::permissions(sandbox.Root() / "registry", std::filesystem::perms::owner_all);
    GTEST_SKIP() << "this process may write read-only files (it runs as root), so it cannot stand for a "
                    "process that may only read the settings";
  }
  CLogFile log;
  ConfigureLogFromSettings(log);
  std::filesystem::permissions(sandbox.Root() / "registry", std::filesystem::perms::owner_all);
  EXPECT_TRUE(log.IsOpen());
  EXPECT_EQ(log.Level(), 0);
}

}  // namespace
