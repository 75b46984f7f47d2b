#include <signal.h>

#include <atomic>

#include "platform/stop_request.h"

namespace platform {
namespace {

// The first request's reason; later requests keep it.
std::atomic<int> g_stopReason{static_cast<int>(StopReason::kNone)};

void OnSignal(int signal) {
  int none = static_cast<int>(StopReason::kNone);
  const StopReason reason = signal == SIGINT ? StopReason::kInterrupt : StopReason::kTerminate;
  g_stopReason.compare_exchange_strong(none, static_cast<int>(reason));
}

}  // namespace

void WatchStopRequests() {
  // Without SA_RESTART, so that a write blocked on a pipe nobody reads returns.
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool StopRequested() { return StopRequestReason() != StopReason::kNone; }

StopReason StopRequestReason() { return static_cast<StopReason>(g_stopReason.load()); }

void ReportClosedPipesAsErrors() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace platform
