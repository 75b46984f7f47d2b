// Exact-size transfers on an overlapped pipe handle with one deadline, shared by the two
// ends of a pipe (pipe_server_win.cpp, pipe_client_win.cpp). A transfer that fails or runs
// out of time is cancelled and waited for before it returns, so the caller's buffer is
// never written after the call. Windows only; any thread, one transfer per handle at a time.
#pragma once

#include <chrono>
#include <cstddef>

#include "platform/native_handle.h"
#include "platform/windows_types.h"

namespace platform::win32 {

// ERROR_SUCCESS when every byte moved; WAIT_TIMEOUT, ERROR_BROKEN_PIPE (the peer went;
// also for a read that got no byte at all) or the failure otherwise. *moved (may be null)
// is the number of bytes that did move.
DWORD TransferExactly(HANDLE pipe, HANDLE event, bool write, void* buffer, std::size_t bytes,
                      std::chrono::milliseconds timeout, std::size_t* moved);
// A manual-reset event for the overlapped operations, or an empty handle.
CNamedObjectHandle MakeIoEvent();

}  // namespace platform::win32
