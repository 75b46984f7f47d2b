#include "identity/camera_identity.h"

#include <gtest/gtest.h>

#include <regex>

#include "channel/frame_region.h"
#include "platform/guid.h"
#include "platform/reg_key.h"
#include "support/log_capture.h"
#include "support/registry_fixture.h"

namespace {

using testing_support::CLogCapture;
using testing_support::CRegistrySandbox;

const wchar_t* const kModule = L"/opt/Trelvox/Bin/amberline.so";
const CLSID kCustom = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

std::string Entry(const std::string& subKey, const std::string& name, const std::string& path,
                  const std::string& clsid = "11111111-2222-3333-4444-555555555555") {
  return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\" + subKey + "]\n@=" + CRegistrySandbox::Quoted(name) +
         "\n\"Path\"=" + CRegistrySandbox::Quoted(path) + "\n\"CLSID\"=" + CRegistrySandbox::Quoted(clsid) + "\n\n";
}

class CameraIdentityTest : public testing::Test {
 protected:
  CameraIdentity LookUp(const std::string& hklm) {
    sandbox.WriteHive("HKEY_LOCAL_MACHINE", hklm);
    return LookUpCameraIdentity(kModule);
  }
  CRegistrySandbox sandbox;
  CLogCapture log{0};
};

TEST_F(CameraIdentityTest, MissingListKeyGivesBuiltInIdentityAndLogsTheFailureWithItsCause) {
  const CameraIdentity id = LookUp("");
  EXPECT_FALSE(id.customSourceFound);
  EXPECT_EQ(id.name, L"Trelvox Amberline");
  EXPECT_EQ(id.clsid, CLSID_Amberline);
  EXPECT_TRUE(std::regex_match(log.Messages(), std::regex("Failed to open registry key SOFTWARE\\\\Trelvox\\\\Amberline\\.\n"
                                                          "Error 2\\(2H\\): [^\n]+\n")))
      << log.Messages();
}

TEST_F(CameraIdentityTest, EmptyListGivesBuiltInIdentityWithoutEntryLines) {
  const CameraIdentity id = LookUp("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline]\n");
  EXPECT_FALSE(id.customSourceFound);
  EXPECT_EQ(log.Messages(), "Opened registry key successfully.\n");
}

TEST_F(CameraIdentityTest, EntryNamingThisModuleInOtherLetterCaseGivesItsIdentity) {
  const CameraIdentity id =
      LookUp(Entry("Other", "Other Camera", "/opt/Other/amberline.so") + Entry("Mine", "Studio Cam", "/OPT/trelvox/bin/AMBERLINE.so"));
  EXPECT_TRUE(id.customSourceFound);
  EXPECT_EQ(id.name, L"Studio Cam");
  EXPECT_EQ(id.clsid, kCustom);
  EXPECT_EQ(log.Messages(),
            "Opened registry key successfully.\n"
            "Found entry name = Studio Cam, path = /OPT/trelvox/bin/AMBERLINE.so\n"
            "Found my module name in the list of custom sources!\n");
}

TEST_F(CameraIdentityTest, FirstEnumeratedOfTwoMatchingEntriesWins) {
  const CameraIdentity id = LookUp(Entry("b-second", "Second", "/opt/Trelvox/Bin/amberline.so",
                                         "22222222-2222-3333-4444-555555555555") +
                                   Entry("A-first", "First", "/opt/Trelvox/Bin/amberline.so"));
  EXPECT_EQ(id.name, L"First");
  EXPECT_EQ(id.clsid, kCustom);
}

struct NoMatchCase {
  const char* name;
  std::string entryPath;
};
class CameraIdentityNoMatchTest : public CameraIdentityTest, public testing::WithParamInterface<NoMatchCase> {};

TEST_P(CameraIdentityNoMatchTest, OtherSpellingOfThePathDoesNotMatch) {
  const CameraIdentity id = LookUp(Entry("Cam", "Cam", GetParam().entryPath));
  EXPECT_FALSE(id.customSourceFound);
  EXPECT_EQ(id.name, L"Trelvox Amberline");
  EXPECT_EQ(id.clsid, CLSID_Amberline);
}

INSTANTIATE_TEST_SUITE_P(Spellings, CameraIdentityNoMatchTest,
                         testing::Values(NoMatchCase{"TrailingBlank", "/opt/Trelvox/Bin/amberline.so "},
                                         NoMatchCase{"DotSegment", "/opt/Trelvox/./Bin/amberline.so"},
                                         NoMatchCase{"DoubleSlash", "/opt//Trelvox/Bin/amberline.so"},
                                         NoMatchCase{"TooLongForTheBuffer", "/opt/Trelvox/Bin/amberline.so" + std::string(240, 'x')}),
                         [](const testing::TestParamInfo<NoMatchCase>& info) { return std::string(info.param.name); });

TEST_F(CameraIdentityTest, MatchingEntryWithEmptyNameGivesAnEmptyFriendlyName) {
  const CameraIdentity id = LookUp(Entry("Cam", "", "/opt/Trelvox/Bin/amberline.so"));
  EXPECT_TRUE(id.customSourceFound);
  EXPECT_EQ(id.name, L"");
  EXPECT_EQ(id.clsid, kCustom);
}

TEST_F(CameraIdentityTest, UnparsableClassIdKeepsTheNameWithTheBuiltInClassIdAndSaysSo) {
  const CameraIdentity id = LookUp(Entry("Cam", "Broken Cam", "/opt/Trelvox/Bin/amberline.so", "{11111111-2222-3333-4444-555555555555}"));
  EXPECT_TRUE(id.customSourceFound);
  EXPECT_EQ(id.name, L"Broken Cam");
  EXPECT_EQ(id.clsid, CLSID_Amberline);
  EXPECT_EQ(id.unparsableClsidEntry, L"Cam") << "registration must know the entry that it cannot register";
  EXPECT_NE(log.Messages().find("CLSID value \"{11111111-2222-3333-4444-555555555555}\" is not a class identifier; "
                                "the built-in one is used.\n"),
            std::string::npos);
}

TEST_F(CameraIdentityTest, ValuesOfTheWrongTypeCompareAsEmpty) {
  const CameraIdentity id = LookUp(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\Cam]\n@=dword:00000001\n\"Path\"=hex:2f,00,6f,00\n\n" +
      Entry("Next", "Next Cam", "/opt/Trelvox/Bin/amberline.so"));
  EXPECT_EQ(id.name, L"Next Cam");
  EXPECT_NE(log.Messages().find("Found entry name = , path = \n"), std::string::npos);
}

// The entry's "Channel" value picks the camera's feed; anything but a channel name keeps
// the entry's name and class, shows the default channel and stops registration, with a
// line that names the entry. Both front ends of an installation read the same value.
TEST(CameraIdentityChannelTest, ChannelValueGivesTheFeedAndABadOneIsNamedAndStopsRegistration) {
  struct Case {
    const char* what;
    std::string value;  // the registry editor's text after "Channel"=, "" for none
    std::wstring channel;
    bool bad;
  };
  const Case cases[] = {
      {"none", "", L"", false},
      {"empty string", "\"\"", L"", false},
      {"a name", "\"desk-2_b\"", L"desk-2_b", false},
      {"32 characters", "\"" + std::string(32, 'c') + "\"", std::wstring(32, L'c'), false},
      {"33 characters", "\"" + std::string(33, 'c') + "\"", L"", true},
      {"a space", "\"my desk\"", L"", true},
      {"a dot", "\"a.b\"", L"", true},
      {"a backslash", "\"a\\\\b\"", L"", true},
      {"not ASCII", "\"d\xC3\xBCsk\"", L"", true},
      {"a number", "dword:00000001", L"", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CRegistrySandbox fresh;
    CLogCapture lines{0};
    fresh.WriteHive("HKEY_LOCAL_MACHINE", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\Desk Entry]\n@=\"Desk\"\n"
                                          "\"Path\"=\"/opt/Trelvox/Bin/amberline.so\"\n\"CLSID\"=\"11111111-2222-3333-4444-555555555555\"\n"
                                          "\"MFCLSID\"=\"66666666-2222-3333-4444-555555555555\"\n" +
                                              (c.value.empty() ? "" : "\"Channel\"=" + c.value + "\n"));
    for (const CameraIdentity& id : {LookUpCameraIdentity(kModule), LookUpMfCameraIdentity(kModule)}) {
      EXPECT_EQ(id.name, L"Desk");
      EXPECT_NE(id.clsid, CLSID_Amberline);
      EXPECT_EQ(id.channel, c.channel);
      EXPECT_EQ(id.badChannelEntry, c.bad ? L"Desk Entry" : L"");
      EXPECT_EQ(id.unparsableClsidEntry, L"");
    }
    EXPECT_EQ(lines.Messages().find("The custom source entry Desk Entry has the Channel value") != std::string::npos, c.bad)
        << lines.Messages();
  }
}

// The Media Foundation module of an installation: one entry describes the camera for both
// front ends, matched by either module's path; its class is the entry's "MFCLSID" alone.
TEST_F(CameraIdentityTest, MfModuleTakesTheEntryOfItsInstallationAndOnlyAClassOfItsOwn) {
  const std::wstring mfModule = L"/opt/Trelvox/Bin/amberline-mf.dll";
  const CLSID kMf = {0x66666666, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
  const auto entry = [](const std::string& path, const std::string& mfClsid) {
    return Entry("Cam", "Studio Cam", path) + (mfClsid.empty() ? "" : "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\Cam]\n\"MFCLSID\"=\"" + mfClsid + "\"\n\n");
  };
  struct Case {
    std::string path, mfClsid;
    bool found;
    CLSID clsid;
    bool unusable;
  };
  const Case cases[] = {
      {"/opt/Trelvox/Bin/AMBERLINE.dll", "66666666-2222-3333-4444-555555555555", true, kMf, false},
      {"/opt/Trelvox/Bin/amberline-mf.dll", "66666666-2222-3333-4444-555555555555", true, kMf, false},
      {"/opt/Other/Bin/amberline.dll", "66666666-2222-3333-4444-555555555555", false, CLSID_AmberlineMf, false},
      {"/opt/Trelvox/Bin/amberline.dll", "", true, CLSID_AmberlineMf, true},
      {"/opt/Trelvox/Bin/amberline.dll", "{66666666-2222-3333-4444-555555555555}", true, CLSID_AmberlineMf, true},
      {"/opt/Trelvox/Bin/amberline.dll", "11111111-2222-3333-4444-555555555555", true, CLSID_AmberlineMf, true},
      {"/opt/Trelvox/Bin/amberline.dll", "5E0B7A21-93C4-4D6F-A1E8-27C3B94D0F6A", true, CLSID_AmberlineMf, true},
      {"/opt/Trelvox/Bin/amberline.dll", "9C3E6B14-2F7A-4E85-B0D1-6A4F8C2E7B39", true, CLSID_AmberlineMf, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " MFCLSID=" + c.mfClsid);
    CRegKey list;
    if (list.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Trelvox\\Amberline", KEY_ALL_ACCESS) == ERROR_SUCCESS)
      list.DeleteTree(L"Cam");
    sandbox.WriteHive("HKEY_LOCAL_MACHINE", entry(c.path, c.mfClsid));
    const CameraIdentity id = LookUpMfCameraIdentity(mfModule);
    EXPECT_EQ(id.customSourceFound, c.found);
    EXPECT_EQ(id.name, c.found ? L"Studio Cam" : L"Trelvox Amberline");
    EXPECT_EQ(id.clsid, c.clsid);
    EXPECT_EQ(id.unparsableClsidEntry, c.unusable ? L"Cam" : L"");
  }
}

TEST(CameraIdentityGlobalsTest, SetIdentityFixesNameAndClassIdForTheProcess) {
  SetCameraIdentity(CameraIdentity{L"Studio Cam", kCustom, true, {}});
  ASSERT_NE(g_pFilterName, nullptr);
  EXPECT_EQ(std::wstring(g_pFilterName), L"Studio Cam");
  EXPECT_EQ(*g_pFilterClsid, kCustom);
  EXPECT_TRUE(g_bCustomSourceFound);
  SetCameraIdentity(CameraIdentity{std::wstring(2000, L'n'), CLSID_Amberline, false, {}});
  EXPECT_EQ(std::wstring(g_pFilterName).size(), 1023u);
  EXPECT_EQ(g_pFilterClsid, &CLSID_Amberline);
}

TEST(CameraIdentityGlobalsTest, SetIdentityFixesTheChannelEveryObjectNameOfTheProcessUses) {
  testing_support::CScopedEnvironment environment;
  environment.Set(L"AMBERLINE_CHANNEL_NAMESPACE", L"T1_");
  SetCameraIdentity(CameraIdentity{L"Desk", kCustom, true, {}, L"desk"});
  EXPECT_EQ(channel::ObjectName(L"Trelvox_FileMapping"), L"T1_desk_Trelvox_FileMapping");
  EXPECT_EQ(channel::ObjectName(std::optional<std::wstring>(L"x_"), L"Trelvox_FileMapping"), L"x_Trelvox_FileMapping");
  EXPECT_EQ(std::wstring(BadChannelEntry()), L"");
  SetCameraIdentity(CameraIdentity{L"Desk", kCustom, true, {}, L"", L"Desk Entry"});
  EXPECT_EQ(channel::ObjectName(L"Trelvox_FileMapping"), L"T1_Trelvox_FileMapping") << "a bad value: the default channel";
  EXPECT_EQ(std::wstring(BadChannelEntry()), L"Desk Entry");
  SetCameraIdentity(CameraIdentity{kBuiltInFilterName, CLSID_Amberline, false, {}});
  EXPECT_EQ(channel::ObjectName(L"Trelvox_FileMapping"), L"T1_Trelvox_FileMapping");
}

}  // namespace
