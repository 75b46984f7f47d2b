#include "platform/notify_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr milliseconds kLong{20000};
constexpr UINT kMessage = 33003;  // what a channel posts; any application message will do

TEST(NotifyQueueTest, MessagesArriveInOrderWithTheirParameters) {
  CNotifyQueue queue;
  ASSERT_NE(queue.Window(), nullptr);
  constexpr int kCount = 200;
  std::thread poster([&queue] {
    for (int i = 0; i < kCount; ++i)
      EXPECT_TRUE(platform::PostNotifyMessage(queue.Window(), kMessage + static_cast<UINT>(i % 3),
                                              static_cast<std::uintptr_t>(i), -static_cast<std::intptr_t>(i)));
  });
  for (int i = 0; i < kCount; ++i) {
    NotifyMessage message{};
    ASSERT_TRUE(queue.WaitMessage(kLong, &message)) << i;
    EXPECT_EQ(message.message, kMessage + static_cast<UINT>(i % 3));
    EXPECT_EQ(message.wParam, static_cast<std::uintptr_t>(i));
    EXPECT_EQ(message.lParam, -static_cast<std::intptr_t>(i));
  }
  poster.join();
  NotifyMessage extra{};
  EXPECT_FALSE(queue.WaitMessage(std::chrono::milliseconds(0), &extra));
}

TEST(NotifyQueueTest, PostsFromSeveralThreadsKeepEachThreadsOrder) {
  CNotifyQueue queue;
  constexpr int kThreads = 4;
  constexpr int kEach = 100;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t)
    posters.emplace_back([&queue, t] {
      for (int i = 0; i < kEach; ++i)
        platform::PostNotifyMessage(queue.Window(), kMessage, static_cast<std::uintptr_t>(t), i);
    });
  std::vector<std::intptr_t> next(kThreads, 0);
  for (int n = 0; n < kThreads * kEach; ++n) {
    NotifyMessage message{};
    ASSERT_TRUE(queue.WaitMessage(kLong, &message)) << n;
    ASSERT_LT(message.wParam, static_cast<std::uintptr_t>(kThreads));
    EXPECT_EQ(message.lParam, next[message.wParam]++);
  }
  for (auto& poster : posters) poster.join();
}

TEST(NotifyQueueTest, WaitMessageTimesOutWhenNothingIsPosted) {
  CNotifyQueue queue;
  NotifyMessage message{};
  EXPECT_FALSE(queue.WaitMessage(std::chrono::milliseconds(0), &message));
  const auto start = steady_clock::now();
  EXPECT_FALSE(queue.WaitMessage(std::chrono::milliseconds(60), &message));
  EXPECT_GE(steady_clock::now() - start, milliseconds(40));
  // A message posted while waiting ends the wait.
  std::thread poster([&queue] { platform::PostNotifyMessage(queue.Window(), kMessage, 1, 2); });
  EXPECT_TRUE(queue.WaitMessage(kLong, &message));
  EXPECT_EQ(message.lParam, 2);
  poster.join();
}

TEST(NotifyQueueTest, UnlimitedAndVeryLongWaitsLastUntilAPost) {
  CNotifyQueue queue;
  for (const milliseconds timeout : {platform::kInfinite, milliseconds(0x100000005LL), milliseconds::max() / 2}) {
    auto waiter = std::async(std::launch::async, [&queue, timeout] {
      NotifyMessage message{};
      return queue.WaitMessage(timeout, &message) ? message.wParam : 0;
    });
    EXPECT_EQ(waiter.wait_for(milliseconds(50)), std::future_status::timeout) << timeout.count();
    ASSERT_TRUE(platform::PostNotifyMessage(queue.Window(), kMessage, 5, 0));
    EXPECT_EQ(waiter.get(), 5u) << timeout.count();
  }
  NotifyMessage message{};
  EXPECT_FALSE(queue.WaitMessage(milliseconds(-1), &message));
}

TEST(NotifyQueueTest, PostingToNoWindowFails) {
  EXPECT_FALSE(platform::PostNotifyMessage(nullptr, kMessage, 0, 0));
}

TEST(NotifyQueueTest, QueuesAreSeparate) {
  CNotifyQueue first;
  CNotifyQueue second;
  ASSERT_NE(first.Window(), second.Window());
  ASSERT_TRUE(platform::PostNotifyMessage(second.Window(), kMessage, 7, 0));
  NotifyMessage message{};
  EXPECT_TRUE(second.WaitMessage(kLong, &message));
  EXPECT_EQ(message.wParam, 7u);
  EXPECT_FALSE(first.WaitMessage(std::chrono::milliseconds(0), &message));
}

}  // namespace
