#include <atomic>

#include "platform/stop_request.h"
#include "platform/windows_types.h"

namespace platform {
namespace {

// The first request's reason; later requests keep it.
std::atomic<int> g_stopReason{static_cast<int>(StopReason::kNone)};

BOOL WINAPI OnConsoleEvent(DWORD event) {
  int none = static_cast<int>(StopReason::kNone);
  const StopReason reason = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? StopReason::kInterrupt
                                                                                : StopReason::kTerminate;
  g_stopReason.compare_exchange_strong(none, static_cast<int>(reason));
  return TRUE;
}

}  // namespace

void WatchStopRequests() { ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

bool StopRequested() { return StopRequestReason() != StopReason::kNone; }

StopReason StopRequestReason() { return static_cast<StopReason>(g_stopReason.load()); }

void ReportClosedPipesAsErrors() {}

}  // namespace platform
