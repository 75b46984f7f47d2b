// StopNoticeDescriptor: the reading end of a pipe that becomes readable when the first
// stop request arrives (the signal handler writes one byte into it and nothing ever
// reads it), so that a wait in poll() can include the stop without a race between
// checking StopRequested and starting to wait. -1 until WatchStopRequests ran.
// Thread-safe; Linux backend only.
#pragma once

namespace platform {

int StopNoticeDescriptor();

}  // namespace platform
