// CFramePacer: when each frame of a paced stream is due, for every front end (the
// DirectShow stream's worker, the Media Foundation source's delivery loop, the PipeWire
// node's timer, a sender's wait for its next frame).
//
// Deadlines form a chain: frame n is due at anchor + n x period, with the period an exact
// fraction of nanoseconds (1001/30000 s is exact over hours), so neither the time a
// frame's work takes nor a sleep's lateness slows the rate down or makes it drift.
// One catch-up rule: a frame asked for at most one period after its deadline is due at
// once and the chain goes on (the next frame catches up); one asked for later than that
// re-anchors the chain at the late frame, so a stalled stream never delivers a burst. The
// deadlines it passed over (less the late frame itself) are counted as skipped.
//
// The pacer only computes: the caller reads the clock and sleeps or arms a timer, so the
// arithmetic is tested with made-up times. Plain value object; one thread uses it.
#pragma once

#include <chrono>
#include <cstdint>

class CFramePacer {
 public:
  using Clock = std::chrono::steady_clock;

  // Nanoseconds from one frame to the next: num / den. A num that is not positive means
  // unpaced (every frame is due at once).
  struct Period {
    std::int64_t num = 0;
    std::int64_t den = 1;
  };
  // The period of `fpsNum / fpsDen` frames a second: exact while the reduced rate's
  // denominator is at most 1099 and its numerator at most 2^20 (every broadcast and camera
  // rate), else rounded to the nanosecond and capped at about 18 minutes. Not positive:
  // unpaced.
  static Period FromRate(std::int64_t fpsNum, std::int64_t fpsDen);
  static Period FromInterval(Clock::duration interval);

  // A chain at `period` whose frame 0 is due at startNs.
  void Start(std::int64_t startNs, Period period);
  // Forgets the chain: the next WaitBefore paces a first frame.
  void Restart() { m_started = false; }
  bool Started() const { return m_started; }

  // The deadline of the current frame.
  std::int64_t Due() const { return m_anchorNs + Offset(m_frame); }
  // The current frame ran (or was asked for) at nowNs: moves to the next frame and gives
  // its deadline, which is in the past when the chain catches up and nowNs when it
  // re-anchored.
  std::int64_t Advance(std::int64_t nowNs);
  std::uint64_t Skipped() const { return m_skipped; }

  // For a frame asked for at `now` with `interval` between frames: how long to wait
  // before it starts (never negative). The first frame after Start or Restart is due one
  // interval after it is asked for; a changed interval applies from the previous deadline.
  Clock::duration WaitBefore(Clock::time_point now, Clock::duration interval);

 private:
  std::int64_t Offset(std::int64_t n) const;
  // How many deadlines of the chain lie at or before nowNs (frame 0 included).
  std::int64_t FramesUpTo(std::int64_t nowNs) const;

  Period m_period;
  std::int64_t m_anchorNs = 0;
  std::int64_t m_frame = 0;
  std::uint64_t m_skipped = 0;
  bool m_started = false;
};
