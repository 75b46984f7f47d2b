#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/posix/stop_notice.h"
#include "platform/stop_request.h"

namespace platform {
namespace {

// The first request's reason; later requests keep it.
std::atomic<int> g_stopReason{static_cast<int>(StopReason::kNone)};

// The stop notice pipe: [0] read by waits, [1] written once by the handler.
std::atomic<int> g_noticeRead{-1};
std::atomic<int> g_noticeWrite{-1};

void OnSignal(int signal) {
  const int saved = errno;
  int none = static_cast<int>(StopReason::kNone);
  const StopReason reason = signal == SIGINT ? StopReason::kInterrupt : StopReason::kTerminate;
  if (g_stopReason.compare_exchange_strong(none, static_cast<int>(reason))) {
    const int notice = g_noticeWrite.load();
    const char byte = 1;
    if (notice >= 0 && ::write(notice, &byte, 1) < 0) {
      // Nothing to do in a handler: StopRequested still answers.
    }
  }
  errno = saved;
}

}  // namespace

void WatchStopRequests() {
  int notice[2] = {-1, -1};
  if (g_noticeRead.load() < 0 && ::pipe2(notice, O_CLOEXEC | O_NONBLOCK) == 0) {
    g_noticeWrite.store(notice[1]);
    g_noticeRead.store(notice[0]);
  }
  // Without SA_RESTART, so that a write blocked on a pipe nobody reads returns.
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int StopNoticeDescriptor() { return g_noticeRead.load(); }

bool StopRequested() { return StopRequestReason() != StopReason::kNone; }

StopReason StopRequestReason() { return static_cast<StopReason>(g_stopReason.load()); }

void ReportClosedPipesAsErrors() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace platform
