// The registry as hive files: what lands on disk, how files that people wrote or broke
// are treated, permissions, and the last error left for callers.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/reg_key.h"
#include "platform/registry_override.h"
#include "platform/wide_string.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::WriteFile;

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";
const std::string kGoodSection = "[HKEY_CURRENT_USER\\K]\n\"v\"=dword:00000001\n";

class RegistryHiveFileTest : public testing::Test {
 protected:
  fs::path Folder() const { return m_dir.Path() / "registry"; }
  fs::path Hive(const char* root = "HKEY_CURRENT_USER") const { return Folder() / (std::string(root) + ".reg"); }
  void WriteHive(const std::string& bytes, const char* root = "HKEY_CURRENT_USER") {
    fs::create_directories(Folder());
    WriteFile(Hive(root), bytes);
  }
  std::set<std::string> FolderEntries() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(Folder())) names.insert(entry.path().filename().string());
    return names;
  }
  static bool RunningAsRoot() { return geteuid() == 0; }

  testing_support::CTempDir m_dir;
  CRegistryOverride m_override{Folder().string()};
};

TEST_F(RegistryHiveFileTest, WritesCreateAPrivateFolderAndHiveInTheEditorsFormat) {
  CRegKey key;
  ASSERT_EQ(key.Create(HKEY_CURRENT_USER, L"SOFTWARE\\Trelvox", KEY_ALL_ACCESS), ERROR_SUCCESS);
  ASSERT_EQ(key.SetDword(L"EnableLogging", 1), ERROR_SUCCESS);
  ASSERT_EQ(key.SetString(L"Name", L"Caf\u00e9 \"A\\B\""), ERROR_SUCCESS);

  EXPECT_EQ(ReadFile(Hive()), kHeader +
                                  "[HKEY_CURRENT_USER\\SOFTWARE]\n\n"
                                  "[HKEY_CURRENT_USER\\SOFTWARE\\Trelvox]\n"
                                  "\"EnableLogging\"=dword:00000001\n"
                                  "\"Name\"=\"Caf\xC3\xA9 \\\"A\\\\B\\\"\"\n\n");
  EXPECT_EQ(fs::status(Folder()).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(fs::status(Hive()).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  // Only the hive and its lock file: no temporary file is left behind.
  EXPECT_EQ(FolderEntries(), (std::set<std::string>{"HKEY_CURRENT_USER.reg", "HKEY_CURRENT_USER.reg.lock"}));
}

TEST_F(RegistryHiveFileTest, RewriteKeepsThePermissionsGivenToTheHive) {
  WriteHive(kHeader + "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n", "HKEY_LOCAL_MACHINE");
  fs::permissions(Hive("HKEY_LOCAL_MACHINE"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                                  fs::perms::others_read);
  CRegKey key;
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Trelvox", KEY_ALL_ACCESS), ERROR_SUCCESS);
  EXPECT_EQ(fs::status(Hive("HKEY_LOCAL_MACHINE")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

TEST_F(RegistryHiveFileTest, HiveThatIsALinkIsWrittenWhereTheLinkPoints) {
  fs::create_directories(Folder());
  const fs::path kept = m_dir.Path() / "kept.reg";
  WriteFile(kept, kHeader + kGoodSection);
  fs::create_symlink(kept, Hive());
  CRegKey key;
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, L"K", KEY_ALL_ACCESS), ERROR_SUCCESS);
  ASSERT_EQ(key.SetDword(L"w", 2), ERROR_SUCCESS);
  EXPECT_TRUE(fs::is_symlink(Hive()));
  EXPECT_EQ(ReadFile(kept), kHeader + "[HKEY_CURRENT_USER\\K]\n\"v\"=dword:00000001\n\"w\"=dword:00000002\n\n");
}

TEST_F(RegistryHiveFileTest, OpeningAMissingKeyCreatesNoFile) {
  CRegKey key;
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Trelvox\\Amberline", KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, L"SOFTWARE\\Trelvox", KEY_READ | KEY_WRITE), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(Folder()));
}

TEST_F(RegistryHiveFileTest, ReadsTheUtf16TextTheWindowsEditorExports) {
  const std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\Cam1]\r\n"
      u"@=\"Caf\u00e9 Cam\"\r\n"
      u"\"Path\"=hex(2):2f,00,6f,00,\\\r\n"
      u"  70,00,74,00,00,00\r\n";
  std::string bytes = "\xFF\xFE";
  for (const char16_t unit : text) bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
  WriteHive(bytes, "HKEY_LOCAL_MACHINE");

  CRegKey list;
  ASSERT_EQ(list.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Trelvox\\Amberline", KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS),
            ERROR_SUCCESS);
  wchar_t name[512];
  DWORD chars = 512;
  ASSERT_EQ(list.EnumKey(0, name, &chars), ERROR_SUCCESS);
  CRegKey entry;
  ASSERT_EQ(entry.Open(list, name, KEY_QUERY_VALUE), ERROR_SUCCESS);
  wchar_t value[260];
  EXPECT_EQ(entry.QueryString(nullptr, value, 260), ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(value), L"Caf\u00e9 Cam");
  EXPECT_EQ(entry.QueryString(L"Path", value, 260), ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(value), L"/opt");
}

TEST_F(RegistryHiveFileTest, ChangesMadeByOthersAreSeenAtTheNextRead) {
  WriteHive(kHeader + "[HKEY_CURRENT_USER\\K]\n\"v\"=dword:00000001\n");
  CRegKey key;
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, L"K", KEY_READ), ERROR_SUCCESS);
  DWORD value = 0;
  ASSERT_EQ(key.QueryDword(L"v", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 1u);
  // Same size, same file, rewritten in place.
  WriteFile(Hive(), kHeader + "[HKEY_CURRENT_USER\\K]\n\"v\"=dword:00000002\n");
  ASSERT_EQ(key.QueryDword(L"v", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 2u);
}

TEST_F(RegistryHiveFileTest, ChangeToAFileThatHadSettledIsSeen) {
  WriteHive(kHeader + "[HKEY_CURRENT_USER\\K]\n\"v\"=dword:00000001\n");
  // Let the file's times age past the window in which a parsed hive is not reused, so
  // that the next reads come from the cache.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  CRegKey key;
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, L"K", KEY_READ), ERROR_SUCCESS);
  DWORD value = 0;
  ASSERT_EQ(key.QueryDword(L"v", &value), ERROR_SUCCESS);
  ASSERT_EQ(value, 1u);
  WriteFile(Hive(), kHeader + "[HKEY_CURRENT_USER\\K]\n\"v\"=dword:00000003\n");
  ASSERT_EQ(key.QueryDword(L"v", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 3u);
}

// --- Files that cannot be read cleanly ----------------------------------------------------

struct UnparsableCase {
  const char* label;
  std::string bytes;
  bool keyReadable;         // whether HKEY_CURRENT_USER\K still reads from it
  std::size_t padTo = 0;    // comment lines appended up to this size
};

class UnparsableHiveTest : public RegistryHiveFileTest, public testing::WithParamInterface<UnparsableCase> {};

TEST_P(UnparsableHiveTest, WritesAreRefusedAndLeaveTheFileUntouched) {
  UnparsableCase c = GetParam();
  if (c.padTo > 0) c.bytes.resize(c.padTo, ';');
  WriteHive(c.bytes);

  CRegKey key;
  errno = 0;
  EXPECT_EQ(key.Create(HKEY_CURRENT_USER, L"New", KEY_ALL_ACCESS), ERROR_BADDB);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, L"K", KEY_ALL_ACCESS), c.keyReadable ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
  if (c.keyReadable) {
    DWORD value = 0;
    EXPECT_EQ(key.QueryDword(L"v", &value), ERROR_SUCCESS);
    EXPECT_EQ(key.SetDword(L"w", 1), ERROR_BADDB);
    EXPECT_EQ(key.DeleteValue(L"v"), ERROR_BADDB);
    EXPECT_EQ(key.DeleteTree(nullptr), ERROR_BADDB);
  }
  EXPECT_TRUE(ReadFile(Hive()) == c.bytes) << "the hive file was changed";
  EXPECT_EQ(FolderEntries(), (std::set<std::string>{"HKEY_CURRENT_USER.reg", "HKEY_CURRENT_USER.reg.lock"}));
}

INSTANTIATE_TEST_SUITE_P(
    Files, UnparsableHiveTest,
    testing::Values(UnparsableCase{"WrongHeader", "REGEDIT5\n\n" + kGoodSection, false},
                    UnparsableCase{"Garbage", "\x7F" "ELF\x02\x01\x01 binary", false},
                    UnparsableCase{"BrokenEncoding", kHeader + kGoodSection + "\"x\"=\"\xFF\"\n", false},
                    UnparsableCase{"MalformedLine", kHeader + kGoodSection + "\"x\"=dword:123456789\n", true},
                    UnparsableCase{"TruncatedHexData", kHeader + kGoodSection + "\"x\"=hex:01,02,\\", true},
                    UnparsableCase{"AnotherRootsSection", kHeader + kGoodSection + "[HKEY_LOCAL_MACHINE\\X]\n", true},
                    UnparsableCase{"OverTheSizeLimit", kHeader + kGoodSection + "\n", false, (64u << 20) + 1}),
    [](const testing::TestParamInfo<UnparsableCase>& info) { return info.param.label; });

TEST_F(RegistryHiveFileTest, ProblemsNameEachDamagedHiveWithItsPathAndLine) {
  EXPECT_EQ(platform::RegistryFileProblems(), std::vector<std::string>{}) << "no hive files at all";
  WriteHive(kHeader + kGoodSection + "\"x\"=dword:123456789\n");
  WriteHive(kHeader + "[HKEY_LOCAL_MACHINE\\K]\n", "HKEY_LOCAL_MACHINE");
  fs::create_directories(Hive("HKEY_CLASSES_ROOT"));
  EXPECT_EQ(platform::RegistryFileProblems(),
            (std::vector<std::string>{
                Hive("HKEY_CLASSES_ROOT").string() + ": the file cannot be read: it is not a regular file",
                Hive().string() + ", line 5: dword data that are not 1 to 8 hex digits"}));
}

TEST_F(RegistryHiveFileTest, BlankHiveFileIsReplacedByTheFirstWrite) {
  WriteHive("");
  CRegKey key;
  EXPECT_EQ(key.Create(HKEY_CURRENT_USER, L"K", KEY_ALL_ACCESS), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(Hive()), kHeader + "[HKEY_CURRENT_USER\\K]\n\n");
}

TEST_F(RegistryHiveFileTest, SomethingOtherThanAFileReadsAsAnEmptyHive) {
  fs::create_directories(Hive());
  CRegKey key;
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, nullptr, KEY_READ), ERROR_SUCCESS);
  wchar_t name[16];
  DWORD chars = 16;
  EXPECT_EQ(key.EnumKey(0, name, &chars), ERROR_NO_MORE_ITEMS);
  EXPECT_NE(key.Create(HKEY_CURRENT_USER, L"K", KEY_ALL_ACCESS), ERROR_SUCCESS);
  EXPECT_TRUE(fs::is_directory(Hive()));

  // A pipe never makes a reader wait for a writer.
  ASSERT_EQ(::mkfifo(Hive("HKEY_LOCAL_MACHINE").c_str(), 0600), 0);
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE", KEY_READ), ERROR_FILE_NOT_FOUND);
}

// --- Permissions -------------------------------------------------------------------------------

TEST_F(RegistryHiveFileTest, ReadOnlyHiveRefusesWriteAccess) {
  if (RunningAsRoot()) GTEST_SKIP() << "root bypasses file permissions, so a read-only hive is writable to it";
  const std::string text = kHeader + kGoodSection;
  WriteHive(text);
  fs::permissions(Hive(), fs::perms::owner_read);

  CRegKey key;
  errno = 0;
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, L"K", KEY_READ | KEY_WRITE), ERROR_ACCESS_DENIED);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, L"K", KEY_SET_VALUE), ERROR_ACCESS_DENIED);
  EXPECT_EQ(key.Create(HKEY_CURRENT_USER, L"New", KEY_READ), ERROR_ACCESS_DENIED);
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, L"K", KEY_READ), ERROR_SUCCESS);
  DWORD value = 0;
  EXPECT_EQ(key.QueryDword(L"v", &value), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(Hive()), text);
}

TEST_F(RegistryHiveFileTest, UnreadableHiveReadsAsEmptyAndIsNeverReplaced) {
  if (RunningAsRoot()) GTEST_SKIP() << "root bypasses file permissions, so it can read any hive";
  WriteHive(kHeader + kGoodSection);
  fs::permissions(Hive(), fs::perms::owner_write);
  CRegKey key;
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, L"K", KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.Create(HKEY_CURRENT_USER, L"New", KEY_ALL_ACCESS), ERROR_ACCESS_DENIED);
  fs::permissions(Hive(), fs::perms::owner_read);
  EXPECT_EQ(ReadFile(Hive()), kHeader + kGoodSection);
}

TEST_F(RegistryHiveFileTest, ReadOnlyFolderRefusesNewHives) {
  if (RunningAsRoot()) GTEST_SKIP() << "root bypasses folder permissions";
  fs::create_directories(Folder());
  fs::permissions(Folder(), fs::perms::owner_read | fs::perms::owner_exec);
  CRegKey key;
  EXPECT_EQ(key.Create(HKEY_CURRENT_USER, L"K", KEY_ALL_ACCESS), ERROR_ACCESS_DENIED);
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, nullptr, KEY_WRITE), ERROR_ACCESS_DENIED);
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, nullptr, KEY_READ), ERROR_SUCCESS);
  fs::permissions(Folder(), fs::perms::owner_all);
}

// --- Names, errors and the root folder ---------------------------------------------------------

TEST_F(RegistryHiveFileTest, MalformedKeyPathsAreRefused) {
  CRegKey key;
  ASSERT_EQ(key.Create(HKEY_CURRENT_USER, L"SOFTWARE\\", KEY_ALL_ACCESS), ERROR_SUCCESS);
  std::wstring deep;
  for (int i = 0; i < 513; ++i) deep += L"d\\";
  for (const std::wstring& path : {std::wstring(L"\\SOFTWARE"), std::wstring(L"a\\\\b"), std::wstring(256, L'n'),
                                   std::wstring(L"line\nbreak"), deep}) {
    CRegKey other;
    errno = 0;
    EXPECT_EQ(other.Create(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(key.SetDword(L"line\nbreak", 1), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ReadFile(Hive()), kHeader + "[HKEY_CURRENT_USER\\SOFTWARE]\n\n");
}

TEST_F(RegistryHiveFileTest, FailuresLeaveAMatchingErrnoAndSuccessesLeaveItAlone) {
  CRegKey key;
  errno = 0;
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, L"Missing", KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(errno, ENOENT);
  ASSERT_EQ(key.Create(HKEY_CURRENT_USER, L"K", KEY_ALL_ACCESS), ERROR_SUCCESS);
  ASSERT_EQ(key.SetString(L"s", L"text"), ERROR_SUCCESS);

  errno = EDOM;
  DWORD value = 0;
  EXPECT_EQ(key.SetDword(L"d", 1), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryDword(L"d", &value), ERROR_SUCCESS);
  EXPECT_EQ(errno, EDOM);

  EXPECT_EQ(key.QueryDword(L"s", &value), ERROR_UNSUPPORTED_TYPE);
  EXPECT_EQ(errno, EINVAL);
  wchar_t small[2];
  EXPECT_EQ(key.QueryString(L"s", small, 2), ERROR_MORE_DATA);
  EXPECT_EQ(errno, ERANGE);
  wchar_t name[8];
  DWORD chars = 8;
  EXPECT_EQ(key.EnumKey(0, name, &chars), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(errno, ENODATA);
  CRegKey closed;
  EXPECT_EQ(closed.QueryDword(L"d", &value), ERROR_INVALID_HANDLE);
  EXPECT_EQ(errno, EBADF);
}

TEST(RegistryRootFolderTest, FollowsTheOverrideThenTheConfigurationFolders) {
  testing_support::CScopedEnvironment environment;
  environment.Set(L"AMBERLINE_REGISTRY_ROOT", L"/tmp/reg-root");
  environment.Set(L"XDG_CONFIG_HOME", L"/cfg");
  environment.Set(L"HOME", L"/home/user");
  EXPECT_EQ(platform::RegistryRootFolder(), "/tmp/reg-root");
  environment.Unset(L"AMBERLINE_REGISTRY_ROOT");
  EXPECT_EQ(platform::RegistryRootFolder(), "/cfg/amberline/registry");
  environment.Set(L"XDG_CONFIG_HOME", L"relative/cfg");
  EXPECT_EQ(platform::RegistryRootFolder(), "/home/user/.config/amberline/registry");
  environment.Unset(L"XDG_CONFIG_HOME");
  environment.Unset(L"HOME");
  const std::string folder = platform::RegistryRootFolder();
  EXPECT_FALSE(folder.empty());
  EXPECT_NE(folder.find("/.config/amberline/registry"), std::string::npos);
}

TEST(RegistryOverrideTest, RestoresWhatWasThereBefore) {
  testing_support::CScopedEnvironment environment;
  environment.Unset(L"AMBERLINE_REGISTRY_ROOT");
  {
    CRegistryOverride outer("/tmp/outer");
    EXPECT_EQ(platform::RegistryRootFolder(), "/tmp/outer");
    {
      CRegistryOverride inner("/tmp/inner");
      EXPECT_EQ(platform::RegistryRootFolder(), "/tmp/inner");
      CRegistryOverride moved(std::move(inner));
    }
    EXPECT_EQ(platform::RegistryRootFolder(), "/tmp/outer");
  }
  EXPECT_EQ(std::getenv("AMBERLINE_REGISTRY_ROOT"), nullptr);
}

TEST_F(RegistryHiveFileTest, KeysStayInTheFolderTheyWereOpenedIn) {
  CRegKey key;
  ASSERT_EQ(key.Create(HKEY_CURRENT_USER, L"K", KEY_ALL_ACCESS), ERROR_SUCCESS);
  testing_support::CTempDir elsewhere;
  CRegistryOverride moved(elsewhere.Utf8());
  EXPECT_EQ(key.SetDword(L"v", 1), ERROR_SUCCESS);
  EXPECT_NE(ReadFile(Hive()).find("\"v\"=dword:00000001"), std::string::npos);
  EXPECT_FALSE(fs::exists(elsewhere.Path() / "HKEY_CURRENT_USER.reg"));
}

}  // namespace
