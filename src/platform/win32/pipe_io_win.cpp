#include "platform/win32/pipe_io_win.h"

#include <algorithm>
#include <cstdint>

#include "platform/timeout.h"

namespace platform::win32 {

namespace {

// Cancels the operation and waits until the system no longer touches the buffer.
void CancelAndDrain(HANDLE pipe, OVERLAPPED* overlapped) {
  ::CancelIoEx(pipe, overlapped);
  DWORD moved = 0;
  ::GetOverlappedResult(pipe, overlapped, &moved, TRUE);
}

}  // namespace

CNamedObjectHandle MakeIoEvent() { return CNamedObjectHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr)); }

DWORD TransferExactly(HANDLE pipe, HANDLE event, bool write, void* buffer, std::size_t bytes,
                      std::chrono::milliseconds timeout, std::size_t* movedInAll) {
  if (movedInAll != nullptr) *movedInAll = 0;
  if (pipe == nullptr || event == nullptr) return ERROR_INVALID_HANDLE;
  const auto deadline = std::chrono::steady_clock::now() + std::max(timeout, std::chrono::milliseconds::zero());
  auto* cursor = static_cast<std::uint8_t*>(buffer);
  std::size_t left = bytes;
  while (left > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 1u << 20));
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    ::ResetEvent(event);
    DWORD moved = 0;
    const BOOL done = write ? ::WriteFile(pipe, cursor, chunk, &moved, &overlapped)
                            : ::ReadFile(pipe, cursor, chunk, &moved, &overlapped);
    if (!done) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_IO_PENDING) return error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED ? ERROR_BROKEN_PIPE : error;
      const auto now = std::chrono::steady_clock::now();
      const auto remaining =
          now < deadline ? std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) + std::chrono::milliseconds(1)
                         : std::chrono::milliseconds::zero();
      const DWORD wait = ::WaitForSingleObject(event, WaitMilliseconds(remaining));
      if (wait != WAIT_OBJECT_0) {
        CancelAndDrain(pipe, &overlapped);
        return wait == WAIT_TIMEOUT ? WAIT_TIMEOUT : ::GetLastError();
      }
      if (!::GetOverlappedResult(pipe, &overlapped, &moved, FALSE)) {
        const DWORD error2 = ::GetLastError();
        return error2 == ERROR_OPERATION_ABORTED ? WAIT_TIMEOUT : error2;
      }
    }
    // A read that completes with nothing means the other end closed its side.
    if (moved == 0) return ERROR_BROKEN_PIPE;
    cursor += moved;
    left -= moved;
    if (movedInAll != nullptr) *movedInAll += moved;
  }
  return ERROR_SUCCESS;
}

}  // namespace platform::win32
