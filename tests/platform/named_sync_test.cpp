#include "platform/named_sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/guid.h"
#include "platform/wide_string.h"
#include "support/test_support.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr milliseconds kLong{20000};  // a wait that only ends this long when something is broken

std::wstring UniqueName(const std::wstring& what) {
  GUID guid{};
  platform::CreateGuid(&guid);
  return L"AmberlineTest-" + what + L"-" + platform::GuidToRegistryString(guid).substr(1, 36);
}

std::string Utf8(const std::wstring& text) { return platform::WideToUtf8(text); }

CNamedMutex CreatedMutex(const std::wstring& name) {
  CNamedMutex mutex;
  bool created = false;
  EXPECT_EQ(mutex.Create(name, &created), ERROR_SUCCESS);
  return mutex;
}

CNamedEvent CreatedEvent(const std::wstring& name, bool manualReset, bool initialState = false) {
  CNamedEvent event;
  bool created = false;
  EXPECT_EQ(event.Create(name, manualReset, initialState, &created), ERROR_SUCCESS);
  return event;
}

// Runs body on a thread of its own with a mutex object opened there; the thread acquires
// the mutex, reports so, and releases it once told to.
class CMutexHolderThread {
 public:
  explicit CMutexHolderThread(const std::wstring& name) {
    std::promise<WaitResult> held;
    m_held = held.get_future();
    m_thread = std::thread([this, name, held = std::move(held)]() mutable {
      CNamedMutex mutex;
      if (mutex.Open(name) != ERROR_SUCCESS) {
        held.set_value(WaitResult::kFailed);
        return;
      }
      held.set_value(mutex.Wait(kLong));
      m_release.get_future().wait_for(kLong);
      m_released = mutex.Release();
    });
  }
  ~CMutexHolderThread() { Finish(); }
  WaitResult Held() { return m_held.wait_for(kLong) == std::future_status::ready ? m_held.get() : WaitResult::kFailed; }
  bool Finish() {
    if (m_thread.joinable()) {
      m_release.set_value();
      m_thread.join();
    }
    return m_released;
  }

 private:
  std::future<WaitResult> m_held;
  std::promise<void> m_release;
  bool m_released = false;
  std::thread m_thread;
};

// --- Both kinds ------------------------------------------------------------------------

TEST(NamedSyncTest, OpenFindsOnlyCreatedObjects) {
  const std::wstring name = UniqueName(L"open");
  CNamedMutex mutex;
  CNamedEvent event;
  EXPECT_EQ(mutex.Open(name), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(event.Open(name), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(mutex.IsOpen());
  EXPECT_EQ(mutex.Wait(milliseconds(0)), WaitResult::kFailed);
  EXPECT_FALSE(mutex.Release());
  EXPECT_FALSE(event.Set());
  EXPECT_FALSE(event.Reset());
  EXPECT_FALSE(event.Wait(milliseconds(0)));

  bool created = false;
  CNamedMutex creator;
  ASSERT_EQ(creator.Create(name + L"m", &created), ERROR_SUCCESS);
  EXPECT_TRUE(created);
  ASSERT_EQ(mutex.Create(name + L"m", &created), ERROR_SUCCESS);
  EXPECT_FALSE(created);
  EXPECT_EQ(mutex.Open(name + L"m"), ERROR_SUCCESS);

  CNamedEvent eventCreator = CreatedEvent(name + L"e", true);
  EXPECT_EQ(event.Open(name + L"e"), ERROR_SUCCESS);
  ASSERT_TRUE(eventCreator.Set());
  EXPECT_TRUE(event.Wait(milliseconds(0)));

  // Gone with their last holders.
  creator.Close();
  mutex.Close();
  eventCreator.Close();
  event.Close();
  EXPECT_EQ(mutex.Open(name + L"m"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(event.Open(name + L"e"), ERROR_FILE_NOT_FOUND);
}

// --- Mutex -------------------------------------------------------------------------------

TEST(NamedMutexTest, IsRecursiveForItsOwnerOnly) {
  const std::wstring name = UniqueName(L"recursive");
  CNamedMutex mutex = CreatedMutex(name);
  ASSERT_EQ(mutex.Wait(milliseconds(0)), WaitResult::kAcquired);
  ASSERT_EQ(mutex.Wait(platform::kInfinite), WaitResult::kAcquired);
  CNamedMutex sameThread;
  ASSERT_EQ(sameThread.Open(name), ERROR_SUCCESS);
  ASSERT_EQ(sameThread.Wait(milliseconds(0)), WaitResult::kAcquired);

  auto tryElsewhere = [&name] {
    return std::async(std::launch::async, [&name] {
             CNamedMutex other;
             if (other.Open(name) != ERROR_SUCCESS) return WaitResult::kFailed;
             const WaitResult result = other.Wait(milliseconds(0));
             if (result == WaitResult::kAcquired) other.Release();
             return result;
           }).get();
  };
  EXPECT_EQ(tryElsewhere(), WaitResult::kTimeout);
  EXPECT_TRUE(sameThread.Release());
  EXPECT_TRUE(mutex.Release());
  EXPECT_EQ(tryElsewhere(), WaitResult::kTimeout) << "still held once";
  EXPECT_TRUE(mutex.Release());
  EXPECT_FALSE(mutex.Release()) << "not owned any more";
  EXPECT_EQ(tryElsewhere(), WaitResult::kAcquired);
}

TEST(NamedMutexTest, WaitTimesOutWhileAnotherThreadHoldsIt) {
  const std::wstring name = UniqueName(L"timeout");
  CNamedMutex mutex = CreatedMutex(name);
  CMutexHolderThread holder(name);
  ASSERT_EQ(holder.Held(), WaitResult::kAcquired);

  EXPECT_EQ(mutex.Wait(milliseconds(0)), WaitResult::kTimeout);
  const auto start = steady_clock::now();
  EXPECT_EQ(mutex.Wait(milliseconds(60)), WaitResult::kTimeout);
  EXPECT_GE(steady_clock::now() - start, milliseconds(40));
  EXPECT_FALSE(mutex.Release()) << "only the owner releases";

  EXPECT_TRUE(holder.Finish());
  EXPECT_EQ(mutex.Wait(kLong), WaitResult::kAcquired);
  EXPECT_TRUE(mutex.Release());
}

TEST(NamedMutexTest, WaiterGetsItWhenTheHolderReleases) {
  const std::wstring name = UniqueName(L"handover");
  CNamedMutex mutex = CreatedMutex(name);
  CMutexHolderThread holder(name);
  ASSERT_EQ(holder.Held(), WaitResult::kAcquired);
  auto waiter = std::async(std::launch::async, [&mutex] { return mutex.Wait(kLong); });
  EXPECT_EQ(waiter.wait_for(milliseconds(50)), std::future_status::timeout);
  EXPECT_TRUE(holder.Finish());
  EXPECT_EQ(waiter.get(), WaitResult::kAcquired);
  // The waiter's thread has ended owning it: abandoned for the next one.
  EXPECT_EQ(mutex.Wait(kLong), WaitResult::kAbandoned);
  EXPECT_TRUE(mutex.Release());
}

TEST(NamedMutexTest, OwnerThreadEndingWithItClosedLeavesItAbandoned) {
  const std::wstring name = UniqueName(L"thread-abandon");
  CNamedMutex mutex = CreatedMutex(name);
  std::thread([&name] {
    CNamedMutex own;
    if (own.Open(name) == ERROR_SUCCESS) own.Wait(kLong);
    // Closed (and the thread ended) without releasing.
  }).join();
  EXPECT_EQ(mutex.Wait(kLong), WaitResult::kAbandoned);
  EXPECT_EQ(mutex.Wait(milliseconds(0)), WaitResult::kAcquired) << "the caller owns it now";
  EXPECT_TRUE(mutex.Release());
  EXPECT_TRUE(mutex.Release());
  EXPECT_EQ(mutex.Wait(milliseconds(0)), WaitResult::kAcquired) << "abandonment is reported once";
  EXPECT_TRUE(mutex.Release());
}

// Child: acquires the mutex, tells the parent and waits to be killed.
int HoldMutex(int argc, char** argv) {
  if (argc < 3) return 2;
  CNamedMutex mutex;
  CNamedEvent ready;
  CNamedEvent never;
  bool created = false;
  if (mutex.Open(platform::Utf8ToWide(argv[0])) != ERROR_SUCCESS || ready.Open(platform::Utf8ToWide(argv[1])) != ERROR_SUCCESS ||
      never.Create(platform::Utf8ToWide(argv[2]), true, false, &created) != ERROR_SUCCESS)
    return 3;
  if (mutex.Wait(kLong) != WaitResult::kAcquired) return 4;
  ready.Set();
  never.Wait(milliseconds(60000));
  return 5;
}
AMBERLINE_CHILD_MODE("mutex-hold", HoldMutex);

TEST(NamedMutexTest, OwnerProcessKilledLeavesItAbandonedToTheNextWaiter) {
  const std::wstring name = UniqueName(L"process-abandon");
  const std::wstring readyName = UniqueName(L"process-abandon-ready");
  const std::wstring neverName = UniqueName(L"never");
  CNamedMutex mutex = CreatedMutex(name);
  CNamedEvent ready = CreatedEvent(readyName, false);
  CChildProcess child;
  ASSERT_TRUE(testing_support::StartChild(child, "mutex-hold",
                                          {Utf8(name), Utf8(readyName), Utf8(neverName)}));
  ASSERT_TRUE(ready.Wait(kLong));
  EXPECT_EQ(mutex.Wait(milliseconds(50)), WaitResult::kTimeout);

  // A waiter already blocked when the owner dies is woken.
  auto waiter = std::async(std::launch::async, [&mutex] { return mutex.Wait(kLong); });
  child.Kill();
  int code = 0;
  ASSERT_TRUE(child.Wait(kLong, &code));
  ASSERT_EQ(waiter.get(), WaitResult::kAbandoned);
  CNamedEvent never;
  EXPECT_EQ(never.Open(neverName), ERROR_FILE_NOT_FOUND) << "died with its only holder";
  // The waiter's thread ended owning it; this thread gets it next.
  EXPECT_EQ(mutex.Wait(kLong), WaitResult::kAbandoned);
  EXPECT_TRUE(mutex.Release());
  EXPECT_EQ(mutex.Wait(milliseconds(0)), WaitResult::kAcquired);
  EXPECT_TRUE(mutex.Release());
}

TEST(NamedMutexTest, ReleaseChangesNothingForAThreadThatDoesNotHoldIt) {
  const std::wstring name = UniqueName(L"foreign-release");
  const std::wstring readyName = UniqueName(L"foreign-release-ready");
  CNamedMutex mutex = CreatedMutex(name);
  CNamedEvent ready = CreatedEvent(readyName, false);
  const std::wstring neverName = UniqueName(L"never");
  CChildProcess child;
  ASSERT_TRUE(testing_support::StartChild(child, "mutex-hold", {Utf8(name), Utf8(readyName), Utf8(neverName)}));
  ASSERT_TRUE(ready.Wait(kLong));

  // Held by a thread of another process, which this process's checks never saw lock it.
  EXPECT_FALSE(mutex.Release());
  EXPECT_EQ(mutex.Wait(milliseconds(0)), WaitResult::kTimeout) << "a refused release freed it";

  child.Kill();
  int code = 0;
  ASSERT_TRUE(child.Wait(kLong, &code));
  CNamedEvent never;
  EXPECT_EQ(never.Open(neverName), ERROR_FILE_NOT_FOUND) << "died with its only holder";
  EXPECT_FALSE(mutex.Release()) << "nobody holds an abandoned mutex";
  EXPECT_EQ(mutex.Wait(kLong), WaitResult::kAbandoned) << "a refused release took the abandonment";
  EXPECT_TRUE(mutex.Release());
  EXPECT_FALSE(mutex.Release());

  // A thread that starts after a holder thread ended owning it (the system may give it the
  // dead thread's id) does not hold it either: it is told of the abandonment.
  std::thread([&mutex] { EXPECT_EQ(mutex.Wait(kLong), WaitResult::kAcquired); }).join();
  std::thread([&mutex] {
    EXPECT_FALSE(mutex.Release());
    EXPECT_EQ(mutex.Wait(kLong), WaitResult::kAbandoned);
    EXPECT_TRUE(mutex.Release());
    EXPECT_FALSE(mutex.Release());
  }).join();
  EXPECT_EQ(mutex.Wait(milliseconds(0)), WaitResult::kAcquired);
  EXPECT_TRUE(mutex.Release());
}

TEST(NamedSyncTest, NegativeTimeoutsOnlyLookAndLongOnesAreNotCutShort) {
  const std::wstring name = UniqueName(L"timeouts");
  CNamedEvent event = CreatedEvent(name, false);
  CNamedMutex mutex = CreatedMutex(name + L"-mutex");
  EXPECT_FALSE(event.Wait(milliseconds(-1))) << "no wait, and not an endless one";
  EXPECT_FALSE(event.Wait(std::chrono::hours(-1)));

  // Longer than 32-bit milliseconds: a wait that ended after the remainder (5 ms) would
  // miss the set.
  const milliseconds beyond32Bits(0x100000005LL);
  auto waiter = std::async(std::launch::async, [&event, beyond32Bits] { return event.Wait(beyond32Bits); });
  EXPECT_EQ(waiter.wait_for(milliseconds(100)), std::future_status::timeout);
  ASSERT_TRUE(event.Set());
  EXPECT_TRUE(waiter.get());

  CMutexHolderThread holder(name + L"-mutex");
  ASSERT_EQ(holder.Held(), WaitResult::kAcquired);
  EXPECT_EQ(mutex.Wait(milliseconds(-1)), WaitResult::kTimeout);
  auto mutexWaiter = std::async(std::launch::async, [&mutex, beyond32Bits] {
    const WaitResult result = mutex.Wait(beyond32Bits);
    if (result == WaitResult::kAcquired) mutex.Release();
    return result;
  });
  EXPECT_EQ(mutexWaiter.wait_for(milliseconds(100)), std::future_status::timeout);
  EXPECT_TRUE(holder.Finish());
  EXPECT_EQ(mutexWaiter.get(), WaitResult::kAcquired);
}

// --- Event -------------------------------------------------------------------------------

TEST(NamedEventTest, ManualResetStaysSetForEveryWaiterUntilReset) {
  const std::wstring name = UniqueName(L"manual");
  CNamedEvent event = CreatedEvent(name, true);
  EXPECT_FALSE(event.Wait(milliseconds(0)));
  std::vector<std::future<bool>> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.push_back(std::async(std::launch::async, [&name] {
      CNamedEvent own;
      return own.Open(name) == ERROR_SUCCESS && own.Wait(kLong);
    }));
  ASSERT_TRUE(event.Set());
  for (auto& waiter : waiters) EXPECT_TRUE(waiter.get());
  EXPECT_TRUE(event.Wait(milliseconds(0)));
  EXPECT_TRUE(event.Wait(platform::kInfinite));
  ASSERT_TRUE(event.Reset());
  EXPECT_FALSE(event.Wait(milliseconds(0)));
}

TEST(NamedEventTest, AutomaticResetPassesOneWaiterPerSet) {
  const std::wstring name = UniqueName(L"auto");
  CNamedEvent event = CreatedEvent(name, false);
  std::atomic<int> passed{0};
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i)
    waiters.emplace_back([&] {
      CNamedEvent own;
      if (own.Open(name) != ERROR_SUCCESS || !own.Wait(kLong)) return;
      std::lock_guard<std::mutex> guard(lock);
      ++passed;
      changed.notify_all();
    });
  const auto passedReaches = [&](int count, milliseconds within) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, within, [&] { return passed.load() >= count; });
  };

  ASSERT_TRUE(event.Set());
  EXPECT_TRUE(passedReaches(1, kLong));
  EXPECT_FALSE(passedReaches(2, milliseconds(100))) << "one Set passed both waiters";
  EXPECT_FALSE(event.Wait(milliseconds(0))) << "the passing waiter reset it";
  ASSERT_TRUE(event.Set());
  EXPECT_TRUE(passedReaches(2, kLong));
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(passed.load(), 2);
  EXPECT_FALSE(event.Wait(milliseconds(0)));
}

TEST(NamedEventTest, InitialStateAndTypeComeFromTheCreator) {
  const std::wstring name = UniqueName(L"initial");
  CNamedEvent event = CreatedEvent(name, false, true);
  CNamedEvent again;
  bool created = true;
  ASSERT_EQ(again.Create(name, true, false, &created), ERROR_SUCCESS);
  EXPECT_FALSE(created);
  EXPECT_TRUE(again.Wait(milliseconds(0))) << "still set: a second Create changes nothing";
  EXPECT_FALSE(event.Wait(milliseconds(0))) << "automatic reset, as created";
  event.Set();
  event.Set();
  EXPECT_TRUE(again.Wait(milliseconds(0)));
  EXPECT_FALSE(again.Wait(milliseconds(0))) << "setting a set event does not count twice";
}

TEST(NamedEventTest, WaitTimesOut) {
  CNamedEvent event = CreatedEvent(UniqueName(L"timeout"), true);
  const auto start = steady_clock::now();
  EXPECT_FALSE(event.Wait(milliseconds(60)));
  EXPECT_GE(steady_clock::now() - start, milliseconds(40));
  const auto zero = steady_clock::now();
  EXPECT_FALSE(event.Wait(milliseconds(0)));
  EXPECT_LT(steady_clock::now() - zero, kLong);
}

TEST(NamedEventTest, MovingTransfersTheHolder) {
  const std::wstring name = UniqueName(L"move");
  CNamedEvent event = CreatedEvent(name, true);
  CNamedEvent moved(std::move(event));
  EXPECT_FALSE(event.IsOpen());
  CNamedEvent assigned;
  assigned = std::move(moved);
  ASSERT_TRUE(assigned.Set());
  EXPECT_TRUE(assigned.Wait(milliseconds(0)));

  // Windows keeps mutexes and events in one namespace: a mutex needs a name of its own.
  CNamedMutex mutex = CreatedMutex(name + L"-mutex");
  CNamedMutex movedMutex(std::move(mutex));
  EXPECT_FALSE(mutex.IsOpen());
  EXPECT_EQ(movedMutex.Wait(milliseconds(0)), WaitResult::kAcquired);
  EXPECT_TRUE(movedMutex.Release());
}

// Child: sets the named event and ends.
int SetEventChild(int argc, char** argv) {
  if (argc < 1) return 2;
  CNamedEvent event;
  if (event.Open(platform::Utf8ToWide(argv[0])) != ERROR_SUCCESS) return 3;
  return event.Set() ? 0 : 4;
}
AMBERLINE_CHILD_MODE("event-set", SetEventChild);

TEST(NamedEventTest, SetInAnotherProcessWakesAWaiterHere) {
  const std::wstring name = UniqueName(L"cross-process");
  CNamedEvent event = CreatedEvent(name, false);
  auto waiter = std::async(std::launch::async, [&event] { return event.Wait(kLong); });
  CChildProcess child;
  ASSERT_TRUE(testing_support::StartChild(child, "event-set", {Utf8(name)}));
  EXPECT_TRUE(waiter.get());
  int code = -1;
  ASSERT_TRUE(child.Wait(kLong, &code));
  EXPECT_EQ(code, 0);
  EXPECT_FALSE(event.Wait(milliseconds(0)));
}

TEST(NamedSyncTest, LowIntegrityLabelLeavesObjectsUsable) {
  for (const bool manualReset : {true, false}) {
    const std::wstring name = UniqueName(L"label");
    CNamedEvent event = CreatedEvent(name, manualReset);
    platform::ApplyLowIntegrityLabel(name, platform::KernelObjectKind::kEvent);
    CNamedEvent other;
    ASSERT_EQ(other.Open(name), ERROR_SUCCESS);
    EXPECT_TRUE(other.Set());
    EXPECT_TRUE(event.Wait(milliseconds(0))) << manualReset;
  }
  const std::wstring mutexName = UniqueName(L"label-mutex");
  CNamedMutex mutex = CreatedMutex(mutexName);
  platform::ApplyLowIntegrityLabel(mutexName, platform::KernelObjectKind::kMutex);
  platform::ApplyLowIntegrityLabel(UniqueName(L"missing"), platform::KernelObjectKind::kMutex);
  CNamedMutex other;
  ASSERT_EQ(other.Open(mutexName), ERROR_SUCCESS);
  EXPECT_EQ(other.Wait(milliseconds(0)), WaitResult::kAcquired);
  EXPECT_TRUE(other.Release());
}

}  // namespace

namespace {

// The text alone (the Windows suite reads it back from created objects): per kind, every
// right for the user and SYSTEM, the opener's rights for AppContainers, a protected list.
TEST(ChannelObjectSddlTest, GrantsEachKindItsOpenersRightsAndNamesNobodyElse) {
  struct Row {
    platform::KernelObjectKind kind;
    const wchar_t* expected;
  };
  const Row rows[] = {
      {platform::KernelObjectKind::kFileMapping,
       L"D:P(A;;0xf001f;;;S-1-5-21-7-8-9-1001)(A;;0xf001f;;;SY)(A;;0x6;;;AC)"},
      {platform::KernelObjectKind::kMutex,
       L"D:P(A;;0x1f0001;;;S-1-5-21-7-8-9-1001)(A;;0x1f0001;;;SY)(A;;0x100001;;;AC)"},
      {platform::KernelObjectKind::kEvent,
       L"D:P(A;;0x1f0003;;;S-1-5-21-7-8-9-1001)(A;;0x1f0003;;;SY)(A;;0x100002;;;AC)"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(platform::ChannelObjectSddl(row.kind, L"S-1-5-21-7-8-9-1001"), row.expected);
}

}  // namespace
