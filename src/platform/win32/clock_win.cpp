#include <time.h>

#include "platform/clock.h"

namespace platform {

DWORD GetTickCount() { return ::GetTickCount(); }

// The Windows C runtime's clock() is wall-clock milliseconds since the process started.
std::int64_t ProcessClockMs() { return static_cast<std::int64_t>(::clock()) * 1000 / CLOCKS_PER_SEC; }

std::tm LocalTimeNow() {
  const __time64_t now = ::_time64(nullptr);
  std::tm local{};
  ::_localtime64_s(&local, &now);
  return local;
}

// The performance counter is one machine-wide clock; its frequency is fixed at boot.
std::int64_t MonotonicNanoseconds() {
  LARGE_INTEGER count{}, frequency{};
  ::QueryPerformanceCounter(&count);
  ::QueryPerformanceFrequency(&frequency);
  // Whole seconds and the rest apart, so that the product cannot overflow.
  const std::int64_t seconds = count.QuadPart / frequency.QuadPart;
  const std::int64_t rest = count.QuadPart % frequency.QuadPart;
  return seconds * 1000000000 + rest * 1000000000 / frequency.QuadPart;
}

}  // namespace platform
