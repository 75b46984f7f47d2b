// Time sources.
//
// GetTickCount: milliseconds of a monotonic clock shared by every process of the machine,
// truncated to 32 bits (it wraps after 49.7 days, as on Windows).
// ProcessClockMs: wall-clock milliseconds since the process started, the unit of the C
// runtime's clock() on Windows (on Linux clock() counts processor time, so it is not used).
// LocalTimeNow: the current local calendar time.
// MonotonicNanoseconds: nanoseconds of a monotonic clock shared by every process of the
// machine, in 64 bits (no wrap), so that a reading taken in one process can be subtracted
// from one taken in another (a frame's age between producer and consumer).
// All are thread-safe.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/windows_types.h"

namespace platform {

DWORD GetTickCount();
std::int64_t ProcessClockMs();
std::tm LocalTimeNow();
std::int64_t MonotonicNanoseconds();

}  // namespace platform
