// CPreciseSleeper: a sleep of a given number of nanoseconds that another thread can end
// early, as precise as the system allows. On Windows a high-resolution waitable timer
// (CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, Windows 10 1803 and later; a plain waitable
// timer where the system refuses the flag) beside an event; elsewhere a condition wait
// on the monotonic clock. A default Windows sleep or condition wait ends on the system's
// timer tick (about 15.6 ms), which would make a 30 fps sender stutter.
//
//   CPreciseSleeper sleeper;
//   if (!sleeper.Sleep(16'666'667)) ...   // woken by Wake on another thread
//
// Wake ends the sleep running now, or the next one when none runs. One thread sleeps at
// a time; Wake may be called from any thread. Not copied or moved.
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

class CPreciseSleeper {
 public:
  CPreciseSleeper();
  ~CPreciseSleeper();
  CPreciseSleeper(const CPreciseSleeper&) = delete;
  CPreciseSleeper& operator=(const CPreciseSleeper&) = delete;

  // True after the time passed (at once for 0 or less), false when Wake ended it.
  bool Sleep(std::int64_t nanoseconds);
  void Wake();
  // Whether the sleep has the system's best resolution (always on Linux).
  bool HighResolution() const;

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

}  // namespace platform
