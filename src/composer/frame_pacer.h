// CFramePacer: when the next frame of a paced stream may start. Frames are paced against
// a deadline chain: each frame is due one interval after the previous frame was due, so
// the time a frame's work takes and the sleep's own lateness do not slow the rate down.
// The wait it gives is never negative. A frame that comes less than one interval after
// its deadline starts at once and the chain goes on (the next frame catches up); after a
// stall of more than one interval the chain starts again from the late frame, so a
// stalled stream never delivers a burst of frames to make up for lost time. The first
// frame after Restart is due one interval after it is asked for.
//
// The pacer only computes: the caller reads the clock and sleeps, so the computation is
// tested with made-up times. Plain value object; one thread uses it (the stream's worker).
#pragma once

#include <chrono>
#include <optional>

class CFramePacer {
 public:
  using Clock = std::chrono::steady_clock;

  // Forgets the chain: the next frame is paced as the first of a stream.
  void Restart() { m_due.reset(); }

  // For a frame asked for at `now` with `interval` between frames (an interval that is
  // not positive counts as 0): how long to wait before the frame starts. Records the
  // frame's due time as the base of the next frame's deadline.
  Clock::duration WaitBefore(Clock::time_point now, Clock::duration interval);

 private:
  std::optional<Clock::time_point> m_due;  // when the previous frame was due
};
