// CPipeClient: this process's end of a local named pipe that another process serves
// (Windows); the camera's source reads frames from the bridge agent through it.
//
//   CPipeClient pipe;
//   if (DWORD error = pipe.Connect(name); error != ERROR_SUCCESS) log(error);  // 2, 5, 231
//   std::uint32_t session = 0;
//   pipe.ServerSessionId(&session);               // is the server who it should be?
//   pipe.Write(&request, sizeof request, 40ms); pipe.Read(&reply, sizeof reply, 40ms);
//
// Connect never waits for a busy server (ERROR_PIPE_BUSY is its answer) and identifies
// this process to the server at identification level only: the server can learn who the
// client is, never act as it. Every transfer moves exactly the bytes asked for within its
// deadline or fails, leaving no I/O running; after a failure the connection is out of
// step and the caller closes it.
//
// Ownership: move-only; owns its end (Close or the destructor). Threading: one thread at
// a time. Failure: system error codes (ERROR_SUCCESS, WAIT_TIMEOUT, ERROR_FILE_NOT_FOUND,
// ERROR_ACCESS_DENIED, ERROR_PIPE_BUSY, ERROR_BROKEN_PIPE, ...).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/native_handle.h"
#include "platform/windows_types.h"

class CPipeClient {
 public:
  DWORD Connect(const std::wstring& name);
  bool IsOpen() const { return m_pipe.IsValid(); }
  void Close();

  DWORD ServerSessionId(std::uint32_t* sessionId) const;
  DWORD ServerProcessId(std::uint32_t* processId) const;

  // *moved (may be null): the bytes that arrived, also when the read failed (none: the
  // stream is still in step).
  DWORD Read(void* buffer, std::size_t bytes, std::chrono::milliseconds timeout, std::size_t* moved = nullptr);
  DWORD Write(const void* buffer, std::size_t bytes, std::chrono::milliseconds timeout);

 private:
  platform::CFileHandle m_pipe;
  platform::CNamedObjectHandle m_event;
};
