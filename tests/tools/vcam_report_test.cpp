// The pieces amberline-vcam adds for the frame bridge: the agent's start at logon in the
// registry (the real one of the Wine prefix, restored afterwards) and the parts of the
// --diagnose report that do not depend on the machine (the log's tail, the user's name
// kept out).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge_autostart.h"
#include "diagnose_report.h"
#include "platform/reg_key.h"
#include "platform/wide_string.h"
#include "support/test_support.h"

namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// Puts back the values a test found under both Run keys, also when it fails, so that the
// prefix never starts a test's program at its next boot.
class CAutostartGuard {
 public:
  CAutostartGuard() {
    for (const BridgeAutostartEntry& entry : FindBridgeAutostart()) m_saved.push_back(entry);
  }
  ~CAutostartGuard() {
    std::vector<std::string> removed;
    std::string problem;
    RemoveBridgeAutostart(true, &removed, &problem);
    for (const BridgeAutostartEntry& entry : m_saved) {
      CRegKey key;
      if (key.Create(entry.allUsers ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, kRunKey, KEY_SET_VALUE) == ERROR_SUCCESS)
        key.SetString(kBridgeAutostartValue, entry.command);
    }
  }

 private:
  std::vector<BridgeAutostartEntry> m_saved;
};

std::vector<std::wstring> Commands(bool allUsers) {
  std::vector<std::wstring> commands;
  for (const BridgeAutostartEntry& entry : FindBridgeAutostart())
    if (entry.allUsers == allUsers) commands.push_back(entry.command);
  return commands;
}

TEST(VcamAutostartTest, CommandQuotesAFullPathAndRefusesWhatCannotBeQuoted) {
  EXPECT_EQ(BridgeAutostartCommand(L"C:\\Program Files\\Amberline\\Bin\\amberline-vcam.exe"),
            L"\"C:\\Program Files\\Amberline\\Bin\\amberline-vcam.exe\" --bridge");
  for (const wchar_t* refused : {L"", L"amberline-vcam.exe", L"Bin\\amberline-vcam.exe", L"C:\\a\"b\\amberline-vcam.exe"})
    EXPECT_EQ(BridgeAutostartCommand(refused), L"") << platform::WideToUtf8(refused);
}

TEST(VcamAutostartTest, AddReplacesRemoveTakesOnlyItsOwnRootsAndAnAbsentValueIsFine) {
  CAutostartGuard guard;
  std::vector<std::string> removed;
  std::string problem;
  ASSERT_TRUE(RemoveBridgeAutostart(true, &removed, &problem)) << problem;
  ASSERT_TRUE(FindBridgeAutostart().empty());

  const std::wstring first = L"C:\\Amberline One\\amberline-vcam.exe";
  const std::wstring second = L"C:\\Amberline Two\\amberline-vcam.exe";
  ASSERT_TRUE(AddBridgeAutostart(false, first, &problem)) << problem;
  ASSERT_TRUE(AddBridgeAutostart(false, second, &problem)) << problem;
  EXPECT_EQ(Commands(false), std::vector<std::wstring>{BridgeAutostartCommand(second)});
  // Where administrators may write (Wine's user may), the machine's value for every user.
  ASSERT_TRUE(AddBridgeAutostart(true, first, &problem)) << problem;
  EXPECT_EQ(Commands(true), std::vector<std::wstring>{BridgeAutostartCommand(first)});

  // Without --all-users the machine's value stays.
  ASSERT_TRUE(RemoveBridgeAutostart(false, &removed, &problem)) << problem;
  EXPECT_EQ(removed, std::vector<std::string>{BridgeAutostartKeyName(false)});
  EXPECT_TRUE(Commands(false).empty());
  EXPECT_EQ(Commands(true).size(), 1u);
  ASSERT_TRUE(RemoveBridgeAutostart(true, &removed, &problem)) << problem;
  EXPECT_EQ(removed, std::vector<std::string>{BridgeAutostartKeyName(true)});
  ASSERT_TRUE(RemoveBridgeAutostart(true, &removed, &problem)) << problem;
  EXPECT_TRUE(removed.empty());
  EXPECT_TRUE(FindBridgeAutostart().empty());

  // A path Windows could not run as meant writes nothing.
  EXPECT_FALSE(AddBridgeAutostart(false, L"amberline-vcam.exe", &problem));
  EXPECT_NE(problem.find("full path"), std::string::npos) << problem;
  EXPECT_TRUE(FindBridgeAutostart().empty());
}

TEST(VcamDiagnoseTest, LogTailCarriesTheLastLinesAsPrintableText) {
  testing_support::CTempDir dir;
  const auto log = dir.Path() / "Amberline.log";
  std::string text;
  for (int i = 1; i <= 100; ++i) text += "line " + std::to_string(i) + "\r\n";
  text += "bell\a and escape\x1b[2J\r\n" + std::string(2000, 'x') + "\r\nlast without line end";
  testing_support::WriteFile(log, text);

  DiagnosisItem item = LogTailItem(log.wstring(), 5);
  EXPECT_TRUE(item.ok) << item.text;
  EXPECT_NE(item.text.find("its last 5 lines follow"), std::string::npos) << item.text;
  ASSERT_EQ(item.details.size(), 5u);
  EXPECT_EQ(item.details[0], "line 99");
  EXPECT_EQ(item.details[2], "bell? and escape?[2J");
  EXPECT_EQ(item.details[3], std::string(kDiagnosisLineLimit, 'x') + "...");
  EXPECT_EQ(item.details[4], "last without line end");

  testing_support::WriteFile(log, "");
  item = LogTailItem(log.wstring(), 5);
  EXPECT_TRUE(item.ok && item.details.empty()) << item.text;

  item = LogTailItem((dir.Path() / "missing" / "Amberline.log").wstring(), 5);
  EXPECT_FALSE(item.ok);
  EXPECT_NE(item.text.find("not there"), std::string::npos) << item.text;
}

TEST(VcamDiagnoseTest, TheUserNameIsKeptOutOfEveryLine) {
  struct Row {
    const char* line;
    const char* expected;
  };
  const Row rows[] = {
      {"module C:\\Users\\Ann\\cam\\amberline-mf.dll: readable", "module %USERPROFILE%\\cam\\amberline-mf.dll: readable"},
      {"c:\\users\\ann\\x and DESKTOP-1\\ANN", "%USERPROFILE%\\x and DESKTOP-1\\<user>"},
      {"Annex, Joanne and ann_b are other names; ann.", "Annex, Joanne and ann_b are other names; <user>."},
      {"no name here", "no name here"},
  };
  for (const Row& row : rows) EXPECT_EQ(RemoveUserName(row.line, "ann", "C:\\Users\\Ann"), row.expected) << row.line;
  EXPECT_EQ(RemoveUserName("C:\\Users\\Ann", "", ""), "C:\\Users\\Ann");
}

}  // namespace
