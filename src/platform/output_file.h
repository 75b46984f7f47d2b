// COutputFile: a file or a pipe that a tool streams large outputs into, written through
// to the system (nothing is kept in buffers) so that what Write reports is what the
// reader can get.
//
// Create makes or truncates a file, or opens a named pipe for writing (which waits for
// its reader). Write hands every byte to the system or says why it could not: the
// reader of the pipe had closed it (kReaderGone; never a SIGPIPE death once
// platform::ReportClosedPipesAsErrors was called), a stop request (stop_request.h)
// arrived before or while it waited for a slow reader (kStopped; on Linux the wait
// includes the stop, so a reader that stops reading cannot hold a stopping tool; on
// Windows a write waits for its reader), or any other failure.
// Ownership: move-only; the file closes with the object. One thread at a time.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

class COutputFile {
 public:
  enum class Result { kWritten, kReaderGone, kStopped, kFailed };

  COutputFile() = default;
  ~COutputFile();
  COutputFile(COutputFile&& other) noexcept;
  COutputFile& operator=(COutputFile&& other) noexcept;
  COutputFile(const COutputFile&) = delete;
  COutputFile& operator=(const COutputFile&) = delete;

  // path in UTF-8. False when it cannot be created or opened, or a stop request came
  // while a named pipe waited for its reader.
  bool Create(const std::string& path);
  bool IsOpen() const { return m_handle != nullptr; }
  Result Write(const void* data, std::size_t size);
  // False when the system reports a failure on closing.
  bool Close();

 private:
  void* m_handle = nullptr;  // HANDLE on Windows; the descriptor plus one elsewhere.
};

}  // namespace platform
