// The machine-wide clocks: the nanosecond clock runs at the tick clock's rate and never
// goes back.
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(MonotonicNanoseconds, AdvancesInNanosecondsAtTheTickClocksRateAndNeverGoesBack) {
  const DWORD tick0 = platform::GetTickCount();
  const std::int64_t start = platform::MonotonicNanoseconds();
  std::int64_t previous = start;
  // Spins for 100 ms of the tick clock (a measurement, not a wait for another thread).
  while (platform::GetTickCount() - tick0 < 100) {
    const std::int64_t now = platform::MonotonicNanoseconds();
    ASSERT_GE(now, previous);
    previous = now;
  }
  const std::int64_t elapsed = platform::MonotonicNanoseconds() - start;
  const DWORD ticks = platform::GetTickCount() - tick0;
  // The tick clock's granularity (up to 16 ms on Windows) bounds the agreement.
  EXPECT_GT(elapsed, (static_cast<std::int64_t>(ticks) - 20) * 1000000) << "ticks " << ticks;
  EXPECT_LT(elapsed, (static_cast<std::int64_t>(ticks) + 20) * 1000000) << "ticks " << ticks;
}

}  // namespace
