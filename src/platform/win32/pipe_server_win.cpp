// clang-format off
#include "platform/windows_types.h"
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include "platform/pipe_probe.h"
#include "platform/pipe_server.h"
#include "platform/timeout.h"
#include "platform/win32/pipe_io_win.h"

#ifndef PIPE_REJECT_REMOTE_CLIENTS
#define PIPE_REJECT_REMOTE_CLIENTS 0x00000008
#endif

namespace {

// Frames of 1080p RGB32 are 8 MB; the buffers only size the kernel's queue, not a frame.
constexpr DWORD kBufferBytes = 1u << 20;

}  // namespace

DWORD CPipeServer::Create(const std::wstring& name, const std::wstring& sddl, bool first, DWORD maxInstances) {
  Close();
  // Where the system does not refuse a first instance of a name that exists (Wine), the
  // name is looked for first: a name someone else made is never joined.
  if (first && platform::PipeExists(name)) return ERROR_ACCESS_DENIED;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return ::GetLastError();
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  const HANDLE pipe = ::CreateNamedPipeW(name.c_str(), openMode,
                                        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                        maxInstances, kBufferBytes, kBufferBytes, 0, &attributes);
  const DWORD error = pipe == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
  if (pipe != INVALID_HANDLE_VALUE) {
    // The integrity label is set again on the instance: a system that leaves it out of
    // the creation's descriptor (Wine) still gets it.
    PACL sacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (::GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted) && present && sacl != nullptr)
      ::SetSecurityInfo(pipe, SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, sacl);
  }
  ::LocalFree(descriptor);
  if (pipe == INVALID_HANDLE_VALUE) return error;
  m_pipe.Reset(pipe);
  m_event = platform::win32::MakeIoEvent();
  if (!m_event.IsValid()) {
    const DWORD eventError = ::GetLastError();
    Close();
    return eventError;
  }
  return ERROR_SUCCESS;
}

void CPipeServer::Close() {
  if (m_pipe.IsValid() && m_connected) ::DisconnectNamedPipe(m_pipe.Get());
  m_connected = false;
  m_pipe.Reset();
  m_event.Reset();
}

DWORD CPipeServer::WaitForClient(std::chrono::milliseconds timeout) {
  if (!m_pipe.IsValid()) return ERROR_INVALID_HANDLE;
  if (m_connected) return ERROR_SUCCESS;
  OVERLAPPED overlapped{};
  overlapped.hEvent = m_event.Get();
  ::ResetEvent(m_event.Get());
  if (::ConnectNamedPipe(m_pipe.Get(), &overlapped)) {
    m_connected = true;
    return ERROR_SUCCESS;
  }
  DWORD error = ::GetLastError();
  if (error == ERROR_PIPE_CONNECTED) {
    m_connected = true;
    return ERROR_SUCCESS;
  }
  if (error != ERROR_IO_PENDING) return error;
  const DWORD wait = ::WaitForSingleObject(m_event.Get(), platform::WaitMilliseconds(timeout));
  DWORD unused = 0;
  if (wait != WAIT_OBJECT_0) {
    ::CancelIoEx(m_pipe.Get(), &overlapped);
    // A client that connected just as the wait ended is kept.
    if (::GetOverlappedResult(m_pipe.Get(), &overlapped, &unused, TRUE)) {
      m_connected = true;
      return ERROR_SUCCESS;
    }
    return WAIT_TIMEOUT;
  }
  if (!::GetOverlappedResult(m_pipe.Get(), &overlapped, &unused, FALSE)) {
    error = ::GetLastError();
    return error;
  }
  m_connected = true;
  return ERROR_SUCCESS;
}

void CPipeServer::Disconnect() {
  if (m_pipe.IsValid()) ::DisconnectNamedPipe(m_pipe.Get());
  m_connected = false;
}

DWORD CPipeServer::ClientProcessId(std::uint32_t* processId) const {
  ULONG id = 0;
  if (!::GetNamedPipeClientProcessId(m_pipe.Get(), &id)) return ::GetLastError();
  *processId = static_cast<std::uint32_t>(id);
  return ERROR_SUCCESS;
}

DWORD CPipeServer::ClientSessionId(std::uint32_t* sessionId) const {
  ULONG id = 0;
  if (!::GetNamedPipeClientSessionId(m_pipe.Get(), &id)) return ::GetLastError();
  *sessionId = static_cast<std::uint32_t>(id);
  return ERROR_SUCCESS;
}

DWORD CPipeServer::Read(void* buffer, std::size_t bytes, std::chrono::milliseconds timeout, std::size_t* moved) {
  return platform::win32::TransferExactly(m_pipe.Get(), m_event.Get(), false, buffer, bytes, timeout, moved);
}

DWORD CPipeServer::Write(const void* buffer, std::size_t bytes, std::chrono::milliseconds timeout) {
  return platform::win32::TransferExactly(m_pipe.Get(), m_event.Get(), true, const_cast<void*>(buffer), bytes,
                                          timeout, nullptr);
}

std::wstring CPipeServer::SecurityText(DWORD* error) const {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const SECURITY_INFORMATION parts =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;
  const DWORD status = ::GetSecurityInfo(m_pipe.Get(), SE_KERNEL_OBJECT, parts, nullptr, nullptr, nullptr, nullptr,
                                         &descriptor);
  if (status != ERROR_SUCCESS) {
    if (error != nullptr) *error = status;
    return {};
  }
  LPWSTR text = nullptr;
  std::wstring result;
  if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts, &text, nullptr)) {
    result = text;
    ::LocalFree(text);
    if (error != nullptr) *error = ERROR_SUCCESS;
  } else if (error != nullptr) {
    *error = ::GetLastError();
  }
  ::LocalFree(descriptor);
  return result;
}
