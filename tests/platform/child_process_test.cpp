#include "platform/child_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "platform/guid.h"
#include "platform/named_sync.h"
#include "platform/paths.h"
#include "platform/system_error.h"
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

// A start that cannot happen names the program and the system's reason on one line; a
// second start while the child runs is refused and leaves that child alone.
TEST(ChildProcessTest, AStartThatFailsSaysWhichProgramAndWhy) {
  testing_support::CTempDir dir;
  const std::string missing = platform::WideToUtf8((dir.Path() / "no-such-program.exe").wstring());
  CChildProcess child;
  platform::SetLastError(0);
  EXPECT_FALSE(child.Start(missing, {"--child=cpu-spin"}));
  EXPECT_FALSE(child.IsRunning());
  const std::string error = child.StartError();
  const std::string head = "cannot start \"" + missing + "\": ";
  const std::string tail = " (system error 2)";  // ERROR_FILE_NOT_FOUND, ENOENT
  ASSERT_EQ(error.rfind(head, 0), 0u) << error;
  ASSERT_GT(error.size(), head.size() + tail.size()) << "the system's words are missing: " << error;
  EXPECT_EQ(error.substr(error.size() - tail.size()), tail) << error;
  EXPECT_EQ(error.find_first_of("\r\n"), std::string::npos) << error;
  EXPECT_NE(error[error.size() - tail.size() - 1], '.') << error;
  EXPECT_EQ(platform::GetLastError(), 2u);

  ASSERT_TRUE(testing_support::StartChild(child, "cpu-spin", {}));
  EXPECT_EQ(child.StartError(), "") << "a start that succeeded leaves no reason behind";
  EXPECT_FALSE(child.Start(missing, {}));
  EXPECT_EQ(child.StartError(), "cannot start \"" + missing + "\": a child started by this object still runs");
  EXPECT_TRUE(child.IsRunning());
  int code = 0;
  EXPECT_FALSE(child.Wait(milliseconds(0), &code)) << "the first child still runs";
  child.Kill();
  ASSERT_TRUE(child.Wait(kLong, &code));
  EXPECT_EQ(code, 137);
}

// "print TEXT COUNT": TEXT and a newline COUNT times on the standard output, then
// "done" on the standard error, exit 3. COUNT 0: print for ever.
int Print(int argc, char** argv) {
  if (argc < 2) return 2;
  const long count = std::strtol(argv[1], nullptr, 10);
  for (long i = 0; count == 0 || i < count; ++i) std::printf("%s\n", argv[0]);
  std::fflush(stdout);
  std::fprintf(stderr, "done\n");
  return 3;
}
AMBERLINE_CHILD_MODE("print", Print);

std::string Self() { return platform::WideToUtf8(platform::GetHostExecutablePath()); }

// Output and error come in one text; a child that prints without end costs neither more
// than the bytes asked for nor more than the deadline.
TEST(ChildProcessTest, CapturedOutputIsCollectedUpToItsLimitAndItsDeadline) {
  CChildProcess child;
  ASSERT_TRUE(child.StartCaptured(Self(), {"--child=print", "hello", "3"})) << child.StartError();
  std::string output;
  ASSERT_TRUE(child.ReadOutput(kLong, 1 << 20, &output));
  output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());  // a Windows child's text mode
  EXPECT_EQ(output, "hello\nhello\nhello\ndone\n");
  int code = 0;
  ASSERT_TRUE(child.Wait(kLong, &code));
  EXPECT_EQ(code, 3);
  EXPECT_FALSE(child.ReadOutput(kLong, 100, &output)) << "nothing is left to read";

  for (const std::size_t limit : {std::size_t{0}, std::size_t{999}, std::size_t{1000}}) {
    ASSERT_TRUE(child.StartCaptured(Self(), {"--child=print", "0123456789", "0"})) << child.StartError();
    output.clear();
    // However slowly the child starts (a sanitizer build under load), its text grows to
    // the limit and no further.
    const auto until = std::chrono::steady_clock::now() + kLong;
    bool closed = false;
    do {
      closed = child.ReadOutput(milliseconds(200), limit - output.size(), &output);
    } while (!closed && output.size() < limit && std::chrono::steady_clock::now() < until);
    EXPECT_FALSE(closed) << "it prints for ever";
    EXPECT_FALSE(child.ReadOutput(milliseconds(200), 0, &output)) << "the deadline ends a read of a child that prints on";
    EXPECT_EQ(output.size(), limit);
    EXPECT_EQ(output.substr(0, std::min<std::size_t>(limit, 10)), std::string("0123456789").substr(0, std::min<std::size_t>(limit, 10)));
    child.Kill();
    ASSERT_TRUE(child.Wait(kLong, &code));
  }

  ASSERT_TRUE(testing_support::StartChild(child, "cpu-spin", {}));
  EXPECT_FALSE(child.ReadOutput(milliseconds(0), 100, &output)) << "a child whose output is not captured";
  child.Kill();
  ASSERT_TRUE(child.Wait(kLong, &code));
}

}  // namespace
