// Processor time, as the benchmarks read it for this process and for a child: it grows
// with work done, not with time spent asleep, and a child that has ended reports none.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/child_process.h"
#include "platform/cpu_time.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Spends processor time until it is killed.
int Spin(int /*argc*/, char** /*argv*/) {
  volatile unsigned long long n = 0;
  for (;;) n = n + 1;
}
AMBERLINE_CHILD_MODE("cpu-spin", Spin);

TEST(CpuTimeTest, OwnProcessorTimeGrowsWithWorkAndHardlyWhileAsleep) {
  const double start = platform::OwnCpuSeconds();
  ASSERT_GE(start, 0);
  volatile unsigned long long n = 0;
  const auto deadline = Clock::now() + 20s;
  while (platform::OwnCpuSeconds() - start < 0.05 && Clock::now() < deadline)
    for (int i = 0; i < 100000; ++i) n = n + 1;
  const double worked = platform::OwnCpuSeconds();
  EXPECT_GE(worked - start, 0.05) << "no processor time counted for 20 s of work";

  std::this_thread::sleep_for(300ms);
  EXPECT_LT(platform::OwnCpuSeconds() - worked, 0.15) << "sleeping was counted as work";
}

TEST(CpuTimeTest, ARunningChildReportsTheTimeItSpendsAndAnEndedOneNone) {
  CChildProcess child;
  EXPECT_LT(child.CpuSeconds(), 0) << "no child started yet";
  ASSERT_TRUE(testing_support::StartChild(child, "cpu-spin", {}));
  const auto deadline = Clock::now() + 20s;
  double used = child.CpuSeconds();
  while (used < 0.05 && Clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
    used = child.CpuSeconds();
  }
  EXPECT_GE(used, 0.05) << "the spinning child's time was not counted";
  child.Kill();
  int code = 0;
  ASSERT_TRUE(child.Wait(std::chrono::milliseconds(10000), &code));
  EXPECT_LT(child.CpuSeconds(), 0);
}

}  // namespace
