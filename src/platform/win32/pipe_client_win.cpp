#include "platform/pipe_client.h"
#include "platform/win32/pipe_io_win.h"

DWORD CPipeClient::Connect(const std::wstring& name) {
  Close();
  // Read, write data and write attributes only: never FILE_GENERIC_WRITE, whose append
  // right is also the right to make instances of the pipe.
  const HANDLE pipe =
      ::CreateFileW(name.c_str(), GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return ::GetLastError();
  m_pipe.Reset(pipe);
  m_event = platform::win32::MakeIoEvent();
  if (!m_event.IsValid()) {
    const DWORD error = ::GetLastError();
    Close();
    return error;
  }
  return ERROR_SUCCESS;
}

void CPipeClient::Close() {
  m_pipe.Reset();
  m_event.Reset();
}

DWORD CPipeClient::ServerSessionId(std::uint32_t* sessionId) const {
  ULONG id = 0;
  if (!::GetNamedPipeServerSessionId(m_pipe.Get(), &id)) return ::GetLastError();
  *sessionId = static_cast<std::uint32_t>(id);
  return ERROR_SUCCESS;
}

DWORD CPipeClient::ServerProcessId(std::uint32_t* processId) const {
  ULONG id = 0;
  if (!::GetNamedPipeServerProcessId(m_pipe.Get(), &id)) return ::GetLastError();
  *processId = static_cast<std::uint32_t>(id);
  return ERROR_SUCCESS;
}

DWORD CPipeClient::Read(void* buffer, std::size_t bytes, std::chrono::milliseconds timeout, std::size_t* moved) {
  return platform::win32::TransferExactly(m_pipe.Get(), m_event.Get(), false, buffer, bytes, timeout, moved);
}

DWORD CPipeClient::Write(const void* buffer, std::size_t bytes, std::chrono::milliseconds timeout) {
  return platform::win32::TransferExactly(m_pipe.Get(), m_event.Get(), true, const_cast<void*>(buffer), bytes,
                                          timeout, nullptr);
}
