// Stop requests from the user or the system: SIGINT/SIGTERM on Linux, Ctrl+C, Ctrl+Break
// and console close on Windows. WatchStopRequests installs the handler once;
// StopRequested tells whether one has arrived since. Thread-safe.
#pragma once

namespace platform {

void WatchStopRequests();
bool StopRequested();

}  // namespace platform
