// The interruptible precise sleep: it never ends short, a wake ends the running or the
// next sleep (once), and nothing is left over after a woken sleep.
#include "platform/precise_sleeper.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

TEST(PreciseSleeper, SleepsAtLeastTheTimeAskedAndAWakeEndsTheRunningOrTheNextSleepOnce) {
  platform::CPreciseSleeper sleeper;
  RecordProperty("high_resolution", sleeper.HighResolution() ? "yes" : "no");
  EXPECT_TRUE(sleeper.Sleep(0));
  EXPECT_TRUE(sleeper.Sleep(-1));
  for (const std::int64_t ns : {1, 999999, 1000000, 2500000}) {
    const auto start = Clock::now();
    EXPECT_TRUE(sleeper.Sleep(ns)) << ns;
    EXPECT_GE(Clock::now() - start, std::chrono::nanoseconds(ns)) << "never short: " << ns;
  }
  // A wake with no sleep running ends the next one, and only that one.
  sleeper.Wake();
  EXPECT_FALSE(sleeper.Sleep(60'000'000'000));
  EXPECT_TRUE(sleeper.Sleep(1000));
  // A wake on another thread ends a long sleep.
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    sleeper.Wake();
  });
  EXPECT_FALSE(sleeper.Sleep(60'000'000'000));
  waker.join();
  // Two wakes before a sleep count as one.
  sleeper.Wake();
  sleeper.Wake();
  EXPECT_FALSE(sleeper.Sleep(60'000'000'000));
  EXPECT_TRUE(sleeper.Sleep(1000));
}

}  // namespace
