#include <atomic>

#include "platform/stop_request.h"
#include "platform/windows_types.h"

namespace platform {
namespace {

std::atomic<bool> g_stopRequested{false};

BOOL WINAPI OnConsoleEvent(DWORD) {
  g_stopRequested.store(true);
  return TRUE;
}

}  // namespace

void WatchStopRequests() { ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

bool StopRequested() { return g_stopRequested.load(); }

}  // namespace platform
