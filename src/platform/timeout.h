// How long a platform wait may last: a std::chrono::milliseconds, or kInfinite for no limit.
//
//   using namespace std::chrono_literals;
//   event.Wait(250ms);                  // true when set within a quarter of a second
//   mutex.Wait(platform::kInfinite);    // until it is free
//
// Every wait of the platform layer (named mutexes and events, the notify queue, child
// processes) takes one. A zero or negative timeout only looks (never waits); a finite
// timeout longer than kLongestFiniteWait waits that long, never for ever. Plain constants,
// no state.
#pragma once

#include <chrono>
#include <cstdint>

namespace platform {

// No limit: the wait ends only when what it waits for happens.
inline constexpr std::chrono::milliseconds kInfinite = std::chrono::milliseconds::max();

// The longest finite wait (just under 49.7 days): the system's own waits count 32-bit
// milliseconds and keep the last value for "no limit".
inline constexpr std::chrono::milliseconds kLongestFiniteWait{0xFFFFFFFEu};

// The timeout as 32-bit milliseconds, 0xFFFFFFFF for kInfinite: the form the system's
// waits take. Negative timeouts give 0; long finite ones kLongestFiniteWait.
constexpr std::uint32_t WaitMilliseconds(std::chrono::milliseconds timeout) {
  if (timeout == kInfinite) return 0xFFFFFFFFu;
  if (timeout <= std::chrono::milliseconds::zero()) return 0;
  if (timeout >= kLongestFiniteWait) return static_cast<std::uint32_t>(kLongestFiniteWait.count());
  return static_cast<std::uint32_t>(timeout.count());
}

// The reverse, for callers that still hold 32-bit milliseconds (0xFFFFFFFF: kInfinite).
constexpr std::chrono::milliseconds TimeoutFromMilliseconds(std::uint32_t milliseconds) {
  return milliseconds == 0xFFFFFFFFu ? kInfinite : std::chrono::milliseconds(milliseconds);
}

}  // namespace platform
