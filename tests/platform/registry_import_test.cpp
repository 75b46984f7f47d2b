#include "platform/registry_import.h"

#include <gtest/gtest.h>

#include "platform/reg_key.h"
#include "support/registry_fixture.h"

namespace {

using testing_support::CRegistrySandbox;

constexpr const char* kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";

TEST(RegistryImportTest, ImportsKeysAndValuesOfTheNamedRoot) {
  CRegistrySandbox sandbox;
  ASSERT_EQ(platform::ImportRegistryText(HKEY_LOCAL_MACHINE,
                                         std::string(kHeader) +
                                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\Cam]\r\n"
                                             "@=\"Cam \\\"One\\\"\"\r\n\"Path\"=\"C:\\\\Cams\\\\amberline.dll\"\r\n"
                                             "\"Level\"=dword:0000000a\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Empty]\r\n"),
            ERROR_SUCCESS);
  CRegKey key;
  ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Trelvox\\Amberline\\Cam", KEY_READ), ERROR_SUCCESS);
  std::wstring text;
  EXPECT_EQ(key.QueryString(nullptr, &text), ERROR_SUCCESS);
  EXPECT_EQ(text, L"Cam \"One\"");
  EXPECT_EQ(key.QueryString(L"Path", &text), ERROR_SUCCESS);
  EXPECT_EQ(text, L"C:\\Cams\\amberline.dll");
  DWORD level = 0;
  EXPECT_EQ(key.QueryDword(L"Level", &level), ERROR_SUCCESS);
  EXPECT_EQ(level, 10u);
  CRegKey empty;
  EXPECT_EQ(empty.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Empty", KEY_READ), ERROR_SUCCESS);
}

class RegistryImportRefusalTest : public testing::TestWithParam<std::string> {};

TEST_P(RegistryImportRefusalTest, TextThatIsNotCleanWritesNothing) {
  CRegistrySandbox sandbox;
  EXPECT_EQ(platform::ImportRegistryText(HKEY_LOCAL_MACHINE, GetParam()), ERROR_BADDB);
  CRegKey key;
  EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Trelvox", KEY_READ), ERROR_FILE_NOT_FOUND);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RegistryImportRefusalTest,
    testing::Values(std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox]\n\"v\"=dword:1\n"),
                    std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox]\n\"v\"=dword:zz\n",
                    std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox]\n[HKEY_CURRENT_USER\\SOFTWARE\\X]\n",
                    std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox]\n\"unterminated=\"x\"\n"));

}  // namespace
