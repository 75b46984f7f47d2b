#include "platform/guid.h"

#include <gtest/gtest.h>

#include <set>

namespace {

const GUID kSample = {0x5E0B7A21, 0x93C4, 0x4D6F, {0xA1, 0xE8, 0x27, 0xC3, 0xB9, 0x4D, 0x0F, 0x6A}};

TEST(GuidTest, ParsesBracelessFormInEitherCase) {
  GUID g{};
  ASSERT_EQ(platform::UuidFromString(L"5E0B7A21-93C4-4D6F-A1E8-27C3B94D0F6A", &g), ERROR_SUCCESS);
  EXPECT_EQ(g, kSample);
  ASSERT_EQ(platform::UuidFromString(L"5e0b7a21-93c4-4d6f-a1e8-27c3b94d0f6a", &g), ERROR_SUCCESS);
  EXPECT_EQ(g, kSample);
}

class GuidRejectTest : public testing::TestWithParam<const wchar_t*> {};

TEST_P(GuidRejectTest, RejectsAnythingButTheExactBracelessFormAndLeavesZero) {
  GUID g = kSample;
  EXPECT_EQ(platform::UuidFromString(GetParam(), &g), RPC_S_INVALID_STRING_UUID);
  EXPECT_EQ(g, GUID{});
}

INSTANTIATE_TEST_SUITE_P(Malformed, GuidRejectTest,
                         testing::Values(L"", L"{5E0B7A21-93C4-4D6F-A1E8-27C3B94D0F6A}",
                                         L"5E0B7A21-93C4-4D6F-A1E8-27C3B94D0F6", L"5E0B7A21-93C4-4D6F-A1E8-27C3B94D0F6A0",
                                         L"5E0B7A2193C4-4D6F-A1E8-27C3B94D0F6A-", L"5E0B7A21-93C4-4D6F-A1E8-27C3B94D0F6G",
                                         L" 5E0B7A21-93C4-4D6F-A1E8-27C3B94D0F6", L"not a class identifier"));

TEST(GuidTest, RegistryFormIsBracedUpperCaseAndRoundTrips) {
  EXPECT_EQ(platform::GuidToRegistryString(kSample), L"{5E0B7A21-93C4-4D6F-A1E8-27C3B94D0F6A}");
  GUID g{};
  ASSERT_TRUE(platform::GuidFromRegistryString(L"{5e0b7a21-93c4-4d6f-a1e8-27c3b94d0f6a}", &g));
  EXPECT_EQ(g, kSample);
  EXPECT_FALSE(platform::GuidFromRegistryString(L"5E0B7A21-93C4-4D6F-A1E8-27C3B94D0F6A", &g));
  EXPECT_FALSE(platform::GuidFromRegistryString(L"{5E0B7A21-93C4-4D6F-A1E8-27C3B94D0F6A", &g));
}

TEST(GuidTest, CreatedIdentifiersAreVersion4AndDistinct) {
  std::set<std::wstring> seen;
  for (int i = 0; i < 64; ++i) {
    GUID g{};
    ASSERT_EQ(platform::CreateGuid(&g), S_OK);
    EXPECT_EQ(g.Data3 >> 12, 4);
    EXPECT_EQ(g.Data4[0] & 0xC0, 0x80);
    seen.insert(platform::GuidToRegistryString(g));
  }
  EXPECT_EQ(seen.size(), 64u);
}

}  // namespace
