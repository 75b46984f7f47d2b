#include "composer/client_name.h"

#include <gtest/gtest.h>

#include "platform/paths.h"

namespace {

TEST(ClientNameTest, EveryNameIsThePrefixAndANewBracelessGuid) {
  const std::wstring first = NewClientName(L"Windows camera"), second = NewClientName(L"Windows camera");
  ASSERT_EQ(first.size(), 14u + 1 + 36);
  EXPECT_EQ(first.rfind(L"Windows camera-", 0), 0u);
  const std::wstring guid = first.substr(15);
  for (const std::size_t dash : {8u, 13u, 18u, 23u}) EXPECT_EQ(guid[dash], L'-') << dash;
  EXPECT_EQ(guid.find_first_of(L"{}"), std::wstring::npos);
  EXPECT_NE(first, second) << "each instance registers under a name of its own";
}

TEST(ClientNameTest, HostNameIsTheExecutablesFileNameWithoutItsFolder) {
  const std::wstring path = platform::GetHostExecutablePath(), name = HostProcessName();
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(name.find(platform::kPathSeparator), std::wstring::npos);
  EXPECT_EQ(path.substr(path.size() - name.size()), name);
}

}  // namespace
