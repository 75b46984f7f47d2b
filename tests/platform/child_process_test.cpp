#include "platform/child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>

#include "platform/guid.h"
#include "platform/named_sync.h"
#include "platform/wide_string.h"
#include "support/test_support.h"

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kLong{20000};

std::wstring UniqueName(const std::wstring& what) {
  GUID guid{};
  platform::CreateGuid(&guid);
  return L"AmberlineTest-" + what + L"-" + platform::GuidToRegistryString(guid).substr(1, 36);
}

// The child ("mutex-hold", a child mode of the named_sync tests) holds a named mutex
// until it ends: the mutex comes back abandoned exactly when the child has ended.
TEST(ChildProcessTest, AChildEndsWithTheObjectThatRunsIt) {
  for (const bool assignOver : {true, false}) {
    const std::wstring name = UniqueName(L"child-owner");
    const std::wstring readyName = name + L"-ready";
    CNamedMutex mutex;
    CNamedEvent ready;
    bool created = false;
    ASSERT_EQ(mutex.Create(name, &created), ERROR_SUCCESS);
    ASSERT_EQ(ready.Create(readyName, false, false, &created), ERROR_SUCCESS);
    {
      CChildProcess child;
      ASSERT_TRUE(testing_support::StartChild(
          child, "mutex-hold",
          {platform::WideToUtf8(name), platform::WideToUtf8(readyName), platform::WideToUtf8(name + L"-never")}));
      ASSERT_TRUE(ready.Wait(kLong));
      CChildProcess moved(std::move(child));
      EXPECT_FALSE(child.IsRunning());
      EXPECT_TRUE(moved.IsRunning());
      int code = 0;
      EXPECT_FALSE(moved.Wait(milliseconds(-1), &code)) << "still running";
      EXPECT_EQ(mutex.Wait(milliseconds(0)), WaitResult::kTimeout) << "the child still holds it";
      if (assignOver) {
        moved = CChildProcess();
        EXPECT_FALSE(moved.IsRunning());
        EXPECT_EQ(mutex.Wait(milliseconds(0)), WaitResult::kAbandoned) << "assigning over it ended the child";
        EXPECT_TRUE(mutex.Release());
      }
    }
    EXPECT_EQ(mutex.Wait(milliseconds(0)), assignOver ? WaitResult::kAcquired : WaitResult::kAbandoned)
        << "destroying it ended the child";
    EXPECT_TRUE(mutex.Release());
    CNamedEvent never;
    EXPECT_EQ(never.Open(name + L"-never"), ERROR_FILE_NOT_FOUND) << "died with its only holder";
  }
}

}  // namespace
