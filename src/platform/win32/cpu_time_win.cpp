#include "platform/cpu_time.h"
#include "platform/windows_types.h"

namespace platform {

double OwnCpuSeconds() {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
  const auto ticks = [](const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) * 1e-7;  // 100-ns units
}

}  // namespace platform
