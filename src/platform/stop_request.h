// Stop requests from the user or the system: SIGINT/SIGTERM on Linux, Ctrl+C, Ctrl+Break
// and console close on Windows. WatchStopRequests installs the handler once;
// StopRequested tells whether one has arrived since and StopRequestReason which kind
// the first one was. Thread-safe.
#pragma once

namespace platform {

enum class StopReason {
  kNone,
  kInterrupt,  // SIGINT, Ctrl+C, Ctrl+Break
  kTerminate,  // SIGTERM, console close, log-off, shut-down
};

void WatchStopRequests();
bool StopRequested();
StopReason StopRequestReason();

// From now on a write to a pipe whose reader has gone fails with EPIPE, which the writer
// can report, instead of ending the process (SIGPIPE on Linux; Windows always fails the
// write).
void ReportClosedPipesAsErrors();

}  // namespace platform
