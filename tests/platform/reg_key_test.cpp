#include <chrono>
#include <algorithm>
#include "platform/reg_key.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/registry_override.h"
#include "platform/system_error.h"
#include "platform/wide_string.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<BYTE>;

constexpr const wchar_t* kKey = L"SOFTWARE\\Trelvox";

Bytes Utf16(const std::u16string& text) {
  Bytes bytes;
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<BYTE>(unit & 0xFF));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  return bytes;
}

Bytes Terminated(const std::u16string& text) { return Utf16(text + u'\0'); }

// Every test works on a registry of its own in a fresh folder.
class RegKeyTest : public testing::Test {
 protected:
  // A key created under HKEY_CURRENT_USER with all access.
  CRegKey CreateKey(const wchar_t* path = kKey) {
    CRegKey key;
    EXPECT_EQ(key.Create(HKEY_CURRENT_USER, path, KEY_ALL_ACCESS), ERROR_SUCCESS);
    return key;
  }

  testing_support::CTempDir m_dir;
  CRegistryOverride m_override{(m_dir.Path() / "registry").string()};
};

// --- Opening and creating ------------------------------------------------------------

TEST_F(RegKeyTest, OpenNeverCreatesAKey) {
  CRegKey key;
  platform::SetLastError(0);
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, kKey, KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_NE(platform::GetLastError(), 0u);
  EXPECT_FALSE(key.IsOpen());
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, kKey, KEY_READ), ERROR_FILE_NOT_FOUND);

  CreateKey();
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, kKey, KEY_READ), ERROR_SUCCESS);
  EXPECT_TRUE(key.IsOpen());
}

TEST_F(RegKeyTest, CreateMakesEveryMissingKeyAndOpensOneThatExists) {
  CRegKey deep = CreateKey(L"SOFTWARE\\Trelvox\\Amberline\\Sources");
  ASSERT_EQ(deep.SetDword(L"v", 7), ERROR_SUCCESS);

  CRegKey middle;
  EXPECT_EQ(middle.Open(HKEY_CURRENT_USER, L"SOFTWARE\\Trelvox", KEY_READ), ERROR_SUCCESS);
  CRegKey again;
  ASSERT_EQ(again.Create(middle, L"Amberline\\Sources", KEY_READ), ERROR_SUCCESS);
  DWORD value = 0;
  EXPECT_EQ(again.QueryDword(L"v", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 7u);

  CRegKey child;
  EXPECT_EQ(child.Create(again, L"Cam1", KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(child.Open(HKEY_CURRENT_USER, L"SOFTWARE\\Trelvox\\Amberline\\Sources\\Cam1", KEY_READ), ERROR_SUCCESS);
}

TEST_F(RegKeyTest, RootsAreSeparateHives) {
  CreateKey();
  CRegKey key;
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, kKey, KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.Open(HKEY_CLASSES_ROOT, kKey, KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, kKey, KEY_READ), ERROR_SUCCESS);
}

TEST_F(RegKeyTest, FailedOpenKeepsTheKeyHeldBefore) {
  CRegKey key = CreateKey();
  ASSERT_EQ(key.SetDword(L"v", 1), ERROR_SUCCESS);
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, L"Missing", KEY_READ), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(key.IsOpen());
  DWORD value = 0;
  EXPECT_EQ(key.QueryDword(L"v", &value), ERROR_SUCCESS);
  // Opening relative to itself replaces the key with the child.
  CreateKey(L"SOFTWARE\\Trelvox\\Child");
  EXPECT_EQ(key.Open(key, L"Child", KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryDword(L"v", &value), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegKeyTest, ClosedAndUnopenedHandlesAreRefused) {
  CRegKey unopened;
  DWORD value = 0;
  EXPECT_EQ(unopened.QueryDword(L"v", &value), ERROR_INVALID_HANDLE);
  EXPECT_EQ(unopened.SetDword(L"v", 1), ERROR_INVALID_HANDLE);
  CRegKey child;
  EXPECT_EQ(child.Open(unopened, L"x", KEY_READ), ERROR_INVALID_HANDLE);

  CRegKey key = CreateKey();
  const HKEY stale = key.Handle();
  key.Close();
  EXPECT_FALSE(key.IsOpen());
  EXPECT_EQ(child.Open(stale, nullptr, KEY_READ), ERROR_INVALID_HANDLE);
}

TEST_F(RegKeyTest, MovingTransfersTheOpenKey) {
  CRegKey key = CreateKey();
  CRegKey moved(std::move(key));
  EXPECT_FALSE(key.IsOpen());
  EXPECT_EQ(moved.SetDword(L"v", 3), ERROR_SUCCESS);
  CRegKey assigned;
  assigned = std::move(moved);
  DWORD value = 0;
  EXPECT_EQ(assigned.QueryDword(L"v", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 3u);
}

// --- Values ----------------------------------------------------------------------------

struct StoredValue {
  const char* label;
  DWORD type;
  Bytes data;
};

class RegKeyValueTest : public RegKeyTest, public testing::WithParamInterface<StoredValue> {};

// True when the registry stored a string value with a terminator that the written bytes
// lacked; files keep exactly what was written.
bool StoresStringsTerminated(DWORD type, const Bytes& written, const Bytes& stored) {
  return (type == REG_SZ || type == REG_EXPAND_SZ) && stored.size() > written.size() &&
         std::equal(written.begin(), written.end(), stored.begin());
}

TEST_P(RegKeyValueTest, ValueReadsBackAsStoredFromAnotherKeyObject) {
  const StoredValue& v = GetParam();
  {
    CRegKey key = CreateKey();
    ASSERT_EQ(key.SetValue(L"Value", v.type, v.data.data(), static_cast<DWORD>(v.data.size())), ERROR_SUCCESS);
  }
  CRegKey key;
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kKey, KEY_QUERY_VALUE), ERROR_SUCCESS);
  DWORD type = 0;
  Bytes data;
  ASSERT_EQ(key.QueryValue(L"value", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(type, v.type);
  if (StoresStringsTerminated(v.type, v.data, data))
    GTEST_SKIP() << "this registry adds the missing terminator when it stores a string (Wine does)";
  EXPECT_EQ(data, v.data);
}

INSTANTIATE_TEST_SUITE_P(
    EveryType, RegKeyValueTest,
    testing::Values(StoredValue{"Text", REG_SZ, Terminated(u"Trelvox \u00e9\U0001F3A5")},
                    StoredValue{"UnterminatedText", REG_SZ, Utf16(u"abc")},
                    StoredValue{"TextWithLineBreak", REG_SZ, Terminated(u"a\nb")},
                    StoredValue{"ExpandText", REG_EXPAND_SZ, Terminated(u"%HOME%/x")},
                    StoredValue{"MultiText", REG_MULTI_SZ, Terminated(std::u16string(u"a\0b\0", 4))},
                    StoredValue{"Dword", REG_DWORD, Bytes{0x78, 0x56, 0x34, 0x12}},
                    StoredValue{"Qword", REG_QWORD, Bytes{1, 2, 3, 4, 5, 6, 7, 8}},
                    StoredValue{"Binary", REG_BINARY, Bytes(200, 0xA5)},
                    StoredValue{"EmptyBinary", REG_BINARY, Bytes{}},
                    StoredValue{"None", REG_NONE, Bytes{0}}),
    [](const testing::TestParamInfo<StoredValue>& info) { return info.param.label; });

TEST_F(RegKeyTest, StringsAreStoredAsTerminatedUtf16) {
  CRegKey key = CreateKey();
  ASSERT_EQ(key.SetString(L"s", L"Ab\u00e9"), ERROR_SUCCESS);
  ASSERT_EQ(key.SetString(L"e", L"%A%", REG_EXPAND_SZ), ERROR_SUCCESS);
  DWORD type = 0;
  Bytes data;
  ASSERT_EQ(key.QueryValue(L"s", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(data, (Bytes{'A', 0, 'b', 0, 0xE9, 0, 0, 0}));
  ASSERT_EQ(key.QueryValue(L"e", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(key.SetString(L"b", L"x", REG_BINARY), ERROR_INVALID_PARAMETER);
}

TEST_F(RegKeyTest, DefaultValueHasTheEmptyName) {
  CRegKey key = CreateKey();
  ASSERT_EQ(key.SetString(nullptr, L"default"), ERROR_SUCCESS);
  std::wstring text;
  EXPECT_EQ(key.QueryString(L"", &text), ERROR_SUCCESS);
  EXPECT_EQ(text, L"default");
  std::wstring name = L"x";
  EXPECT_EQ(key.EnumValue(0, &name, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(name, L"");
}

struct StringCase {
  const char* label;
  DWORD type;
  Bytes data;
  DWORD bufferChars;
  LONG expected;
  std::wstring text;  // what a read without a size limit gives, when it succeeds
};

class RegKeyQueryStringTest : public RegKeyTest, public testing::WithParamInterface<StringCase> {};

TEST_P(RegKeyQueryStringTest, ReadsOnlyTerminatedStringsThatFit) {
  const StringCase& c = GetParam();
  CRegKey key = CreateKey();
  ASSERT_EQ(key.SetValue(L"Path", c.type, c.data.data(), static_cast<DWORD>(c.data.size())), ERROR_SUCCESS);
  Bytes stored;
  DWORD storedType = 0;
  ASSERT_EQ(key.QueryValue(L"Path", &storedType, &stored), ERROR_SUCCESS);
  if (StoresStringsTerminated(c.type, c.data, stored))
    GTEST_SKIP() << "this registry adds the missing terminator when it stores a string (Wine does), so an "
                    "unterminated value cannot be made here";

  std::vector<wchar_t> buffer(c.bufferChars + 1, L'#');
  platform::SetLastError(0);
  EXPECT_EQ(key.QueryString(L"Path", buffer.data(), c.bufferChars), c.expected);
  if (c.expected == ERROR_SUCCESS) {
    EXPECT_EQ(std::wstring(buffer.data()), c.text);
  } else {
    EXPECT_NE(platform::GetLastError(), 0u);
    if (c.bufferChars > 0) {
      EXPECT_EQ(buffer[0], L'\0');
    }
    EXPECT_EQ(buffer[c.bufferChars], L'#');
  }

  // Without a size limit only a string too long for the buffer reads differently.
  std::wstring text = L"unchanged";
  const LONG expected = c.expected == ERROR_MORE_DATA ? ERROR_SUCCESS : c.expected;
  EXPECT_EQ(key.QueryString(L"Path", &text), expected);
  EXPECT_EQ(text, expected == ERROR_SUCCESS ? c.text : L"unchanged");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegKeyQueryStringTest,
    testing::Values(
        StringCase{"Text", REG_SZ, Terminated(u"/opt/x.so"), 260, ERROR_SUCCESS, L"/opt/x.so"},
        StringCase{"ExpandTextIsNotExpanded", REG_EXPAND_SZ, Terminated(u"%HOME%/x"), 260, ERROR_SUCCESS, L"%HOME%/x"},
        StringCase{"EmptyText", REG_SZ, Terminated(u""), 1, ERROR_SUCCESS, L""},
        StringCase{"TextStopsAtFirstNul", REG_SZ, Terminated(std::u16string(u"ab\0cd", 5)), 3, ERROR_SUCCESS, L"ab"},
        StringCase{"LongestThatFits", REG_SZ, Terminated(std::u16string(259, u'p')), 260, ERROR_SUCCESS,
                   std::wstring(259, L'p')},
        StringCase{"OneTooLong", REG_SZ, Terminated(std::u16string(260, u'p')), 260, ERROR_MORE_DATA,
                   std::wstring(260, L'p')},
        StringCase{"NoRoomAtAll", REG_SZ, Terminated(u""), 0, ERROR_MORE_DATA, L""},
        StringCase{"NotTerminated", REG_SZ, Utf16(u"abc"), 260, ERROR_INVALID_DATA, L""},
        StringCase{"HalfTerminated", REG_SZ, Bytes{'a', 0, 'b', 0, 0}, 260, ERROR_INVALID_DATA, L""},
        StringCase{"NoBytes", REG_SZ, Bytes{}, 260, ERROR_INVALID_DATA, L""},
        StringCase{"DwordIsNotAString", REG_DWORD, Bytes{1, 0, 0, 0}, 260, ERROR_UNSUPPORTED_TYPE, L""},
        StringCase{"BinaryIsNotAString", REG_BINARY, Terminated(u"abc"), 260, ERROR_UNSUPPORTED_TYPE, L""},
        StringCase{"MultiStringIsNotAString", REG_MULTI_SZ, Terminated(u"a"), 260, ERROR_UNSUPPORTED_TYPE, L""}),
    [](const testing::TestParamInfo<StringCase>& info) { return info.param.label; });

TEST_F(RegKeyTest, MissingStringLeavesTheBufferEmpty) {
  CRegKey key = CreateKey();
  wchar_t buffer[8] = L"stale";
  EXPECT_EQ(key.QueryString(L"Nothing", buffer, 8), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(buffer[0], L'\0');
}

TEST_F(RegKeyTest, QueryDwordAcceptsOnlyFourByteDwords) {
  CRegKey key = CreateKey();
  ASSERT_EQ(key.SetDword(L"Level", 0xA1B2C3D4u), ERROR_SUCCESS);
  const BYTE shortData[2] = {1, 0};
  ASSERT_EQ(key.SetValue(L"Short", REG_DWORD, shortData, 2), ERROR_SUCCESS);
  ASSERT_EQ(key.SetString(L"Text", L"1"), ERROR_SUCCESS);

  DWORD value = 5;
  EXPECT_EQ(key.QueryDword(L"level", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 0xA1B2C3D4u);
  value = 5;
  EXPECT_EQ(key.QueryDword(L"Short", &value), ERROR_INVALID_DATA);
  EXPECT_EQ(key.QueryDword(L"Text", &value), ERROR_UNSUPPORTED_TYPE);
  EXPECT_EQ(key.QueryDword(L"Missing", &value), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(value, 5u);
}

TEST_F(RegKeyTest, SetValueRefusesMissingData) {
  CRegKey key = CreateKey();
  EXPECT_EQ(key.SetValue(L"v", REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(key.SetValue(L"v", REG_BINARY, nullptr, 0), ERROR_SUCCESS);
}

TEST_F(RegKeyTest, DeleteValueRemovesOnlyThatValue) {
  CRegKey key = CreateKey();
  ASSERT_EQ(key.SetDword(L"a", 1), ERROR_SUCCESS);
  ASSERT_EQ(key.SetDword(L"b", 2), ERROR_SUCCESS);
  EXPECT_EQ(key.DeleteValue(L"A"), ERROR_SUCCESS);
  EXPECT_EQ(key.DeleteValue(L"a"), ERROR_FILE_NOT_FOUND);
  DWORD value = 0;
  EXPECT_EQ(key.QueryDword(L"a", &value), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.QueryDword(L"b", &value), ERROR_SUCCESS);
}

// --- Names and enumeration -------------------------------------------------------------

TEST_F(RegKeyTest, NamesMatchWithoutRegardToCaseAndKeepTheirSpelling) {
  CRegKey key = CreateKey(L"Software\\Trelvox\\Amberline");
  ASSERT_EQ(key.SetDword(L"EnableLogging", 0), ERROR_SUCCESS);
  ASSERT_EQ(key.SetDword(L"ENABLELOGGING", 1), ERROR_SUCCESS);

  CRegKey upper;
  ASSERT_EQ(upper.Open(HKEY_CURRENT_USER, L"SOFTWARE\\TRELVOX", KEY_READ), ERROR_SUCCESS);
  wchar_t name[64];
  DWORD chars = 64;
  ASSERT_EQ(upper.EnumKey(0, name, &chars), ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(name), L"Amberline");

  CRegKey lower;
  ASSERT_EQ(lower.Open(upper, L"amberline", KEY_READ), ERROR_SUCCESS);
  std::wstring valueName;
  ASSERT_EQ(lower.EnumValue(0, &valueName, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(valueName, L"EnableLogging");
  DWORD value = 0;
  EXPECT_EQ(lower.QueryDword(L"enablelogging", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(lower.EnumValue(1, &valueName, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegKeyTest, EnumKeyListsSubkeysSortedWithoutRegardToCase) {
  for (const wchar_t* name : {L"charlie", L"Bravo", L"alpha", L"Delta"})
    CreateKey((std::wstring(kKey) + L"\\" + name).c_str());
  CRegKey key;
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kKey, KEY_ENUMERATE_SUB_KEYS), ERROR_SUCCESS);
  std::vector<std::wstring> names;
  for (DWORD index = 0;; ++index) {
    wchar_t name[512];
    DWORD chars = 512;
    const LONG result = key.EnumKey(index, name, &chars);
    if (result != ERROR_SUCCESS) {
      EXPECT_EQ(result, ERROR_NO_MORE_ITEMS);
      break;
    }
    EXPECT_EQ(chars, std::wcslen(name));
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::wstring>{L"alpha", L"Bravo", L"charlie", L"Delta"}));
}

TEST_F(RegKeyTest, EnumKeyReportsANameThatDoesNotFit) {
  CreateKey(L"SOFTWARE\\Trelvox\\abcdef");
  CRegKey key;
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kKey, KEY_READ), ERROR_SUCCESS);
  wchar_t name[8] = L"stale";
  DWORD chars = 6;
  EXPECT_EQ(key.EnumKey(0, name, &chars), ERROR_MORE_DATA);
  EXPECT_EQ(name[0], L'\0');
  chars = 0;
  EXPECT_EQ(key.EnumKey(0, name, &chars), ERROR_MORE_DATA);
  chars = 7;
  ASSERT_EQ(key.EnumKey(0, name, &chars), ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(name), L"abcdef");
  EXPECT_EQ(chars, 6u);
  chars = 7;
  EXPECT_EQ(key.EnumKey(1, name, &chars), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegKeyTest, EnumValueListsValuesInTheOrderTheyWereFirstSet) {
  CRegKey key = CreateKey();
  ASSERT_EQ(key.SetDword(L"zeta", 1), ERROR_SUCCESS);
  ASSERT_EQ(key.SetString(L"Alpha", L"x"), ERROR_SUCCESS);
  ASSERT_EQ(key.SetDword(L"mid", 2), ERROR_SUCCESS);
  ASSERT_EQ(key.SetDword(L"ZETA", 3), ERROR_SUCCESS);
  std::vector<std::wstring> names;
  std::vector<DWORD> types;
  std::wstring name;
  DWORD type = 0;
  for (DWORD index = 0; key.EnumValue(index, &name, &type) == ERROR_SUCCESS; ++index) {
    names.push_back(name);
    types.push_back(type);
  }
  if (platform::RegistryRootFolder().empty()) {
    // The system registry keeps its own order (Wine's is alphabetical); only the set and
    // the types are ours to check there.
    std::vector<std::pair<std::wstring, DWORD>> found;
    for (std::size_t i = 0; i < names.size(); ++i) found.emplace_back(names[i], types[i]);
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return platform::CompareNoCase(a.first.c_str(), b.first.c_str()) < 0; });
    EXPECT_EQ(found, (std::vector<std::pair<std::wstring, DWORD>>{{L"Alpha", REG_SZ}, {L"mid", REG_DWORD}, {L"zeta", REG_DWORD}}));
    return;
  }
  EXPECT_EQ(names, (std::vector<std::wstring>{L"zeta", L"Alpha", L"mid"}));
  EXPECT_EQ(types, (std::vector<DWORD>{REG_DWORD, REG_SZ, REG_DWORD}));
}

// --- Deleting ---------------------------------------------------------------------------

TEST_F(RegKeyTest, DeleteTreeRemovesTheSubkeyAndEverythingBelowIt) {
  CreateKey(L"SOFTWARE\\Trelvox\\Amberline\\Cam1\\Deep");
  CreateKey(L"SOFTWARE\\Trelvox\\Keep");
  CRegKey key = CreateKey();
  ASSERT_EQ(key.SetDword(L"v", 1), ERROR_SUCCESS);
  EXPECT_EQ(key.DeleteTree(L"amberline"), ERROR_SUCCESS);
  CRegKey probe;
  EXPECT_EQ(probe.Open(HKEY_CURRENT_USER, L"SOFTWARE\\Trelvox\\Amberline\\Cam1", KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(probe.Open(HKEY_CURRENT_USER, L"SOFTWARE\\Trelvox\\Amberline", KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(probe.Open(HKEY_CURRENT_USER, L"SOFTWARE\\Trelvox\\Keep", KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(key.DeleteTree(L"Amberline"), ERROR_FILE_NOT_FOUND);
  DWORD value = 0;
  EXPECT_EQ(key.QueryDword(L"v", &value), ERROR_SUCCESS);
}

TEST_F(RegKeyTest, DeleteTreeWithoutASubkeyEmptiesTheKeyButKeepsIt) {
  CreateKey(L"SOFTWARE\\Trelvox\\Sub");
  CRegKey key = CreateKey();
  ASSERT_EQ(key.SetDword(L"v", 1), ERROR_SUCCESS);
  EXPECT_EQ(key.DeleteTree(nullptr), ERROR_SUCCESS);
  wchar_t name[16];
  DWORD chars = 16;
  EXPECT_EQ(key.EnumKey(0, name, &chars), ERROR_NO_MORE_ITEMS);
  std::wstring valueName;
  EXPECT_EQ(key.EnumValue(0, &valueName, nullptr), ERROR_NO_MORE_ITEMS);
  CRegKey probe;
  EXPECT_EQ(probe.Open(HKEY_CURRENT_USER, kKey, KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(key.DeleteTree(L""), ERROR_SUCCESS);
}

TEST_F(RegKeyTest, KeyDeletedByAnotherHandleFailsEveryOperation) {
  CRegKey doomed = CreateKey(L"SOFTWARE\\Trelvox\\Doomed");
  ASSERT_EQ(doomed.SetDword(L"v", 1), ERROR_SUCCESS);
  CRegKey parent = CreateKey();
  ASSERT_EQ(parent.DeleteTree(L"Doomed"), ERROR_SUCCESS);

  DWORD value = 0;
  EXPECT_EQ(doomed.QueryDword(L"v", &value), ERROR_KEY_DELETED);
  EXPECT_EQ(doomed.SetDword(L"v", 2), ERROR_KEY_DELETED);
  EXPECT_EQ(doomed.DeleteValue(L"v"), ERROR_KEY_DELETED);
  wchar_t name[16];
  DWORD chars = 16;
  EXPECT_EQ(doomed.EnumKey(0, name, &chars), ERROR_KEY_DELETED);
  CRegKey child;
  EXPECT_EQ(child.Create(doomed, L"Child", KEY_ALL_ACCESS), ERROR_KEY_DELETED);
  EXPECT_EQ(child.Open(HKEY_CURRENT_USER, L"SOFTWARE\\Trelvox\\Doomed", KEY_READ), ERROR_FILE_NOT_FOUND);
}

// --- Rights -------------------------------------------------------------------------------

TEST_F(RegKeyTest, OperationsNeedTheRightsTheKeyWasOpenedWith) {
  if (platform::RegistryRootFolder().empty())
    GTEST_SKIP() << "the system registry decides what a handle's rights allow (Wine does not check them)";
  CreateKey(L"SOFTWARE\\Trelvox\\Sub");
  CRegKey key;
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kKey, KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(key.SetDword(L"v", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(key.DeleteTree(L"Sub"), ERROR_ACCESS_DENIED);

  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kKey, KEY_SET_VALUE), ERROR_SUCCESS);
  EXPECT_EQ(key.SetDword(L"v", 1), ERROR_SUCCESS);
  DWORD value = 0;
  EXPECT_EQ(key.QueryDword(L"v", &value), ERROR_ACCESS_DENIED);
  wchar_t name[16];
  DWORD chars = 16;
  EXPECT_EQ(key.EnumKey(0, name, &chars), ERROR_ACCESS_DENIED);

  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kKey, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS), ERROR_SUCCESS);
  EXPECT_EQ(key.QueryDword(L"v", &value), ERROR_SUCCESS);
  EXPECT_EQ(key.EnumKey(0, name, &chars), ERROR_SUCCESS);
}

// --- Several writers ------------------------------------------------------------------------

constexpr int kValuesPerWriter = 25;

// Writes kValuesPerWriter values named "<prefix><n>" into HKEY_CURRENT_USER\SOFTWARE\Trelvox,
// each through a fresh update of the hive.
bool WriteValues(const std::wstring& prefix) {
  CRegKey key;
  if (key.Open(HKEY_CURRENT_USER, kKey, KEY_SET_VALUE) != ERROR_SUCCESS) return false;
  for (int i = 0; i < kValuesPerWriter; ++i)
    if (key.SetDword((prefix + std::to_wstring(i)).c_str(), static_cast<DWORD>(i)) != ERROR_SUCCESS) return false;
  return true;
}

void ExpectAllValues(const std::vector<std::wstring>& prefixes) {
  CRegKey key;
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kKey, KEY_READ), ERROR_SUCCESS);
  for (const auto& prefix : prefixes) {
    for (int i = 0; i < kValuesPerWriter; ++i) {
      DWORD value = 0xFFFFFFFFu;
      EXPECT_EQ(key.QueryDword((prefix + std::to_wstring(i)).c_str(), &value), ERROR_SUCCESS)
          << platform::WideToUtf8(prefix) << i;
      EXPECT_EQ(value, static_cast<DWORD>(i));
    }
  }
}

TEST_F(RegKeyTest, WritersOnSeveralThreadsLoseNoUpdates) {
  CreateKey();
  const std::vector<std::wstring> prefixes = {L"a", L"b", L"c", L"d"};
  std::vector<std::thread> threads;
  std::vector<int> ok(prefixes.size(), 0);
  for (std::size_t t = 0; t < prefixes.size(); ++t)
    threads.emplace_back([&, t] { ok[t] = WriteValues(prefixes[t]) ? 1 : 0; });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(ok, std::vector<int>(prefixes.size(), 1));
  ExpectAllValues(prefixes);
}

// Child: <registry folder> <value prefix>.
int RegistryWriterChild(int argc, char** argv) {
  if (argc != 2) return 2;
  CRegistryOverride registry(argv[0]);
  return WriteValues(platform::Utf8ToWide(argv[1])) ? 0 : 1;
}
AMBERLINE_CHILD_MODE("registry-writer", RegistryWriterChild);

TEST_F(RegKeyTest, WritersInSeveralProcessesLoseNoUpdates) {
  CreateKey();
  const std::string folder = (m_dir.Path() / "registry").string();
  CChildProcess first;
  CChildProcess second;
  ASSERT_TRUE(testing_support::StartChild(first, "registry-writer", {folder, "p"}));
  ASSERT_TRUE(testing_support::StartChild(second, "registry-writer", {folder, "q"}));
  EXPECT_TRUE(WriteValues(L"r"));
  int firstCode = -1;
  int secondCode = -1;
  ASSERT_TRUE(first.Wait(std::chrono::milliseconds(60000), &firstCode));
  ASSERT_TRUE(second.Wait(std::chrono::milliseconds(60000), &secondCode));
  EXPECT_EQ(firstCode, 0);
  EXPECT_EQ(secondCode, 0);
  ExpectAllValues({L"p", L"q", L"r"});
}

}  // namespace
