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
//
//   platform::COutputFile out;
//   if (!out.Create("capture.y4m")) return false;
//   if (out.Write(frame.data(), frame.size()) != platform::COutputFile::Result::kWritten) ...
//   if (!out.Close()) ...   // a failure the system reports only on closing
//
// Ownership: move-only; the file closes with the object. One thread at a time.
#pragma once

#include <cstddef>
#include <string>

#include "platform/native_handle.h"

namespace platform {

class COutputFile {
 public:
  enum class Result { kWritten, kReaderGone, kStopped, kFailed };

  // path in UTF-8. False when it cannot be created or opened, or a stop request came
  // while a named pipe waited for its reader.
  bool Create(const std::string& path);
  bool IsOpen() const { return m_file.IsValid(); }
  Result Write(const void* data, std::size_t size);
  // False when the system reports a failure on closing (true when nothing was open).
  bool Close();

 private:
  CFileHandle m_file;
};

}  // namespace platform
