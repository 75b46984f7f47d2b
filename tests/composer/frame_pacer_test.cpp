// Frame pacing against a deadline chain, with made-up times: the waits that keep the
// rate exact whatever a frame's work costs, never a negative wait, a catch-up after a
// late frame and a new chain, not a burst, after a stall.
#include "composer/frame_pacer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = CFramePacer::Clock;

constexpr Clock::duration kInterval = 40ms;

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
}

TEST(FramePacer, AStallLongerThanAnIntervalStartsANewChainInsteadOfABurst) {
  CFramePacer pacer;
  Clock::time_point now{};
  EXPECT_EQ(pacer.WaitBefore(now, kInterval), 40ms);  // due at 40
  now = Clock::time_point{} + 500ms;                   // stalled
  EXPECT_EQ(pacer.WaitBefore(now, kInterval), 0ms);
  // One interval past the frame that ended the stall, not the missed deadlines at once.
  EXPECT_EQ(pacer.WaitBefore(now, kInterval), 40ms);
  EXPECT_EQ(pacer.WaitBefore(now + 45ms, kInterval), 35ms) << "due at 580";
  // Just over one interval late already counts as a stall.
  CFramePacer edge;
  EXPECT_EQ(edge.WaitBefore(Clock::time_point{}, kInterval), 40ms);
  const Clock::time_point late = Clock::time_point{} + 120ms + 1ns;
  EXPECT_EQ(edge.WaitBefore(late, kInterval), 0ns);
  EXPECT_EQ(edge.WaitBefore(late, kInterval), kInterval);
}

TEST(FramePacer, AChangedIntervalAppliesFromTheNextDeadlineAndRestartForgetsTheChain) {
  CFramePacer pacer;
  Clock::time_point now{};
  EXPECT_EQ(pacer.WaitBefore(now, kInterval), 40ms);
  EXPECT_EQ(pacer.WaitBefore(now + 40ms, 80ms), 80ms) << "due at 120";
  EXPECT_EQ(pacer.WaitBefore(now + 120ms, 10ms), 10ms) << "due at 130";
  EXPECT_EQ(pacer.WaitBefore(now + 130ms, -5ms), 0ms) << "a negative interval counts as none";
  pacer.Restart();
  EXPECT_EQ(pacer.WaitBefore(now + 1000ms, kInterval), 40ms) << "paced as a first frame again";
}

}  // namespace
