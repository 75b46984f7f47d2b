#include <signal.h>

#include <atomic>

#include "platform/stop_request.h"

namespace platform {
namespace {

std::atomic<bool> g_stopRequested{false};

void OnSignal(int) { g_stopRequested.store(true); }

}  // namespace

void WatchStopRequests() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool StopRequested() { return g_stopRequested.load(); }

}  // namespace platform
