// Frame pacing against a deadline chain, with made-up times: the waits that keep the
// rate exact whatever a frame's work costs, never a negative wait, a catch-up after a
// late frame and a new chain, not a burst, after a stall; exact fractional rates over
// hours; the skipped deadlines counted.
#include "composer/frame_pacer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = CFramePacer::Clock;

constexpr Clock::duration kInterval = 40ms;
constexpr std::int64_t kSecond = 1000000000;

// Runs frames whose work takes `work[i]` after the wait; the times each frame started.
std::vector<Clock::time_point> StartTimes(CFramePacer& pacer, Clock::time_point now,
                                          const std::vector<Clock::duration>& work) {
  std::vector<Clock::time_point> starts;
  for (const Clock::duration cost : work) {
    const Clock::duration wait = pacer.WaitBefore(now, kInterval);
    EXPECT_GE(wait, Clock::duration::zero());
    now += wait;
    starts.push_back(now);
    now += cost;
  }
  return starts;
}

TEST(FramePacer, FramesStartOneIntervalApartWhateverTheirWorkCosts) {
  CFramePacer pacer;
  const Clock::time_point t0{};
  // The first frame is due one interval after it is asked for.
  const auto starts = StartTimes(pacer, t0, {0ms, 5ms, 39ms, 40ms, 12ms, 1ms});
  for (std::size_t i = 0; i < starts.size(); ++i)
    EXPECT_EQ(starts[i], t0 + kInterval * static_cast<int>(i + 1)) << "frame " << i;
  // A sleep that ended late does not move the next deadline.
  EXPECT_EQ(pacer.WaitBefore(starts.back() + 3ms + 10ms, kInterval), 27ms);
  EXPECT_EQ(pacer.Skipped(), 0u);
}

TEST(FramePacer, ALateFrameStartsAtOnceAndTheNextCatchesUp) {
  CFramePacer pacer;
  Clock::time_point now{};
  EXPECT_EQ(pacer.WaitBefore(now, kInterval), 40ms);  // due at 40
  now = Clock::time_point{} + 40ms + 70ms;             // the frame's work took 70 ms: 110
  EXPECT_EQ(pacer.WaitBefore(now, kInterval), 0ms) << "due at 80, 30 ms late: no negative wait";
  EXPECT_EQ(pacer.WaitBefore(now + 1ms, kInterval), 9ms) << "the chain goes on: due at 120";
  // Exactly one interval late is still a catch-up, not a new chain.
  CFramePacer edge;
  EXPECT_EQ(edge.WaitBefore(Clock::time_point{}, kInterval), 40ms);
  EXPECT_EQ(edge.WaitBefore(Clock::time_point{} + 120ms, kInterval), 0ms);  // due 80
  EXPECT_EQ(edge.WaitBefore(Clock::time_point{} + 120ms, kInterval), 0ms) << "due at 120";
  EXPECT_EQ(edge.WaitBefore(Clock::time_point{} + 120ms, kInterval), 40ms) << "due at 160";
  EXPECT_EQ(edge.Skipped(), 0u);
}

TEST(FramePacer, AStallLongerThanAnIntervalStartsANewChainInsteadOfABurst) {
  CFramePacer pacer;
  Clock::time_point now{};
  EXPECT_EQ(pacer.WaitBefore(now, kInterval), 40ms);  // due at 40
  now = Clock::time_point{} + 500ms;                   // stalled
  EXPECT_EQ(pacer.WaitBefore(now, kInterval), 0ms);
  // Deadlines 80..480 passed; the late frame stands in for the first of them.
  EXPECT_EQ(pacer.Skipped(), 10u);
  // One interval past the frame that ended the stall, not the missed deadlines at once.
  EXPECT_EQ(pacer.WaitBefore(now, kInterval), 40ms);
  EXPECT_EQ(pacer.WaitBefore(now + 45ms, kInterval), 35ms) << "due at 580";
  // Just over one interval late already counts as a stall.
  CFramePacer edge;
  EXPECT_EQ(edge.WaitBefore(Clock::time_point{}, kInterval), 40ms);
  const Clock::time_point late = Clock::time_point{} + 120ms + 1ns;
  EXPECT_EQ(edge.WaitBefore(late, kInterval), 0ns);
  EXPECT_EQ(edge.Skipped(), 1u) << "deadlines 80 and 120 passed";
  EXPECT_EQ(edge.WaitBefore(late, kInterval), kInterval);
}

TEST(FramePacer, AChangedIntervalAppliesFromTheNextDeadlineAndRestartForgetsTheChain) {
  CFramePacer pacer;
  Clock::time_point now{};
  EXPECT_EQ(pacer.WaitBefore(now, kInterval), 40ms);
  EXPECT_EQ(pacer.WaitBefore(now + 40ms, 80ms), 80ms) << "due at 120";
  EXPECT_EQ(pacer.WaitBefore(now + 120ms, 10ms), 10ms) << "due at 130";
  EXPECT_EQ(pacer.WaitBefore(now + 130ms, -5ms), 0ms) << "a negative interval counts as none";
  EXPECT_EQ(pacer.WaitBefore(now + 130ms, 0ms), 0ms) << "nor does a zero one";
  pacer.Restart();
  EXPECT_EQ(pacer.WaitBefore(now + 1000ms, kInterval), 40ms) << "paced as a first frame again";
}

TEST(FramePacer, LateFramesDoNotDelayAChainAtAFrameRate) {
  CFramePacer pacer;
  pacer.Start(5 * kSecond, CFramePacer::FromRate(30, 1));
  EXPECT_EQ(pacer.Due(), 5 * kSecond);
  // Each frame runs 20 ms after its deadline; the next stays one period after the last due.
  std::int64_t due = pacer.Due();
  for (int n = 1; n <= 3000; ++n) due = pacer.Advance(due + 20000000);
  EXPECT_EQ(due, 5 * kSecond + 100 * kSecond);  // frame 3000 at 30 fps: exactly 100 s on
  EXPECT_EQ(pacer.Skipped(), 0u);
}

TEST(FramePacer, FractionalRatesAreExactOverHours) {
  struct Row {
    std::int64_t fpsNum, fpsDen, frames, dueNs;
  };
  const Row rows[] = {
      {30, 1, 0, 0},
      {30, 1, 3, 100000000},
      {30, 1, 30LL * 36000, 36000 * kSecond},         // ten hours, no rounding gathered
      {30000, 1001, 1, 33366666},
      {30000, 1001, 30000LL * 6, 6 * 1001 * kSecond},  // 6006 s
      {60000, 1001, 60000LL * 60, 60 * 1001 * kSecond},
      {24000, 1001, 24000LL * 100, 100 * 1001 * kSecond},
      {1, 5, 3, 15 * kSecond},                         // one frame every 5 s
      {240, 1, 240LL * 3600 * 8, 3600LL * 8 * kSecond},
  };
  for (const Row& row : rows) {
    CFramePacer pacer;
    pacer.Start(0, CFramePacer::FromRate(row.fpsNum, row.fpsDen));
    std::int64_t due = 0;
    for (std::int64_t n = 0; n < row.frames; ++n) due = pacer.Advance(due);
    EXPECT_EQ(due, row.dueNs) << row.fpsNum << "/" << row.fpsDen << " frame " << row.frames;
  }
}

TEST(FramePacer, RatesGiveExactPeriodsAndOutOfRangeOnesAreUnpacedOrRounded) {
  struct Row {
    std::int64_t fpsNum, fpsDen, periodNum, periodDen;
  };
  const Row rows[] = {
      {30, 1, 100000000, 3},
      {30000, 1001, 100100000, 3},
      {25, 1, 40000000, 1},
      {60, 2, 100000000, 3},            // reduced like 30/1
      {0, 1, 0, 1},                     // no rate: unpaced
      {-30, 1, 0, 1},
      {30, 0, 0, 1},
      {30, -1, 0, 1},
      {1048576, 1, 1953125, 2048},      // 2^20 fps: the largest exact numerator
      {1048577, 1, 954, 1},             // one more: rounded to whole nanoseconds
      {1, 1099, 1099 * kSecond, 1},     // the largest exact denominator
      {1, 1100, std::int64_t{1} << 40, 1},  // beyond it: capped near 18 minutes
      {1, 2000000, std::int64_t{1} << 40, 1},
      {2000000000, 1, 1, 2},            // half a nanosecond is still an exact fraction
  };
  for (const Row& row : rows) {
    const CFramePacer::Period period = CFramePacer::FromRate(row.fpsNum, row.fpsDen);
    EXPECT_EQ(period.num, row.periodNum) << row.fpsNum << "/" << row.fpsDen;
    EXPECT_EQ(period.den, row.periodDen) << row.fpsNum << "/" << row.fpsDen;
  }
}

TEST(FramePacer, AStallAtAFrameRateRunsOneFrameAtOnceAndCountsTheRestSkipped) {
  CFramePacer pacer;
  pacer.Start(0, CFramePacer::FromRate(30, 1));
  // The loop was held for a second and a bit after frame 0: deadlines 1..30 passed.
  const std::int64_t stalled = kSecond + 10000000;
  EXPECT_EQ(pacer.Advance(stalled), stalled) << "the late frame runs at once";
  EXPECT_EQ(pacer.Skipped(), 29u);
  EXPECT_EQ(pacer.Advance(stalled), stalled + 33333333) << "a new chain from the late frame";
  // A frame that runs exactly at the next deadline does not get that deadline again.
  const std::int64_t next = pacer.Due();
  EXPECT_GT(pacer.Advance(next), next);
  // Unpaced: every frame due at once, nothing skipped.
  CFramePacer unpaced;
  unpaced.Start(0, CFramePacer::FromRate(0, 1));
  EXPECT_EQ(unpaced.Advance(7 * kSecond), 7 * kSecond);
  EXPECT_EQ(unpaced.Skipped(), 0u);
}

TEST(FramePacer, ANewRateStartsFromNowNotFromTheOldChainsFrameCount) {
  CFramePacer pacer;
  pacer.Start(0, CFramePacer::FromRate(60, 1));
  std::int64_t due = 0;
  for (int n = 0; n < 6000; ++n) due = pacer.Advance(due);  // 100 s at 60 fps
  EXPECT_EQ(due, 100 * kSecond);
  pacer.Start(due, CFramePacer::FromRate(15, 1));
  EXPECT_EQ(pacer.Due(), due);
  EXPECT_EQ(pacer.Advance(due), due + kSecond / 15);
}

}  // namespace
