// CPipeServer: one instance of a local named pipe that this process serves (Windows), in
// byte mode, for one client at a time; the camera's bridge agent serves frames on it.
//
//   CPipeServer pipe;
//   if (pipe.Create(name, sddl, /*first=*/true, 4) != ERROR_SUCCESS) ...;  // name taken, ...
//   while (pipe.WaitForClient(200ms) == WAIT_TIMEOUT) if (stop) return;
//   pipe.Read(&request, sizeof request, 2s); pipe.Write(reply, bytes, 2s);
//   pipe.Disconnect();                                                     // next client
//
// Create gives the instance the security descriptor of sddl (owner, access list and
// integrity label) and refuses clients on other machines. With first, the call fails
// (ERROR_ACCESS_DENIED) when any process already has a pipe of that name: a name taken
// by someone else is never shared with them (the name is also looked for before it is
// made, for systems that do not refuse it themselves). Every transfer moves exactly the bytes asked
// for within its deadline or fails, and a failed transfer leaves no I/O running (it is
// cancelled and waited for): the caller drops the client then, since the stream of bytes
// is out of step.
//
// Ownership: move-only; owns the instance (Close or the destructor ends it). Threading:
// one thread at a time. Failure: results are system error codes (ERROR_SUCCESS,
// WAIT_TIMEOUT for a wait or transfer that ran out of time, ERROR_BROKEN_PIPE, ...).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/native_handle.h"
#include "platform/windows_types.h"

class CPipeServer {
 public:
  DWORD Create(const std::wstring& name, const std::wstring& sddl, bool first, DWORD maxInstances);
  bool IsOpen() const { return m_pipe.IsValid(); }
  void Close();

  // Waits for a client to connect: ERROR_SUCCESS (one is connected), WAIT_TIMEOUT, or the
  // failure.
  DWORD WaitForClient(std::chrono::milliseconds timeout);
  // Ends the connection of the current client; the instance waits for the next one.
  void Disconnect();
  // The connected client's process id and session id (ERROR_SUCCESS or the failure).
  DWORD ClientProcessId(std::uint32_t* processId) const;
  DWORD ClientSessionId(std::uint32_t* sessionId) const;

  // *moved (may be null): the bytes that arrived, also when the read failed (none: the
  // stream is still in step).
  DWORD Read(void* buffer, std::size_t bytes, std::chrono::milliseconds timeout, std::size_t* moved = nullptr);
  DWORD Write(const void* buffer, std::size_t bytes, std::chrono::milliseconds timeout);

  // The instance's security descriptor as text (owner, group, access list, label), or
  // empty with the failure in *error.
  std::wstring SecurityText(DWORD* error) const;

 private:
  platform::CFileHandle m_pipe;
  platform::CNamedObjectHandle m_event;  // the overlapped operations' event
  bool m_connected = false;
};
