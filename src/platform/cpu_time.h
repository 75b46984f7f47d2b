// The processor time this process has used: user plus system time of all its threads,
// in seconds, at the system's finest resolution. For measurements (the benchmarks); a
// negative value when it cannot be read. Thread-safe.
#pragma once

namespace platform {

double OwnCpuSeconds();

}  // namespace platform
