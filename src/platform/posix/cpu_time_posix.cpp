#include <time.h>

#include "platform/cpu_time.h"

namespace platform {

double OwnCpuSeconds() {
  timespec used{};
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used) != 0) return -1;
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
}

}  // namespace platform
