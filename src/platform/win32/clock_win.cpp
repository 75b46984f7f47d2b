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

}  // namespace platform
