#include <time.h>

#include "platform/clock.h"

namespace platform {
namespace {

std::int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

DWORD GetTickCount() { return static_cast<DWORD>(static_cast<std::uint64_t>(MonotonicMs())); }

std::int64_t ProcessClockMs() {
  // Fixed at the first reading, which is module start-up: only differences of this clock
  // are ever used. A function-local static is safe to reach from load-time code.
  static const std::int64_t start = MonotonicMs();
  return MonotonicMs() - start;
}

std::tm LocalTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

std::int64_t MonotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace platform
