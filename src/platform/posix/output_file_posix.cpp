#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/output_file.h"
#include "platform/posix/stop_notice.h"
#include "platform/stop_request.h"

namespace platform {

bool COutputFile::Create(const std::string& path) {
  Close();
  for (;;) {
    if (StopRequested()) return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd >= 0) {
      // Writes never block: a full pipe is waited for in poll(), together with a stop.
      const int flags = ::fcntl(fd, F_GETFL);
      if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
      m_file.Reset(fd);
      return true;
    }
    // A signal ends the wait for a named pipe's reader: retried unless it asked to stop.
    if (errno != EINTR || StopRequested()) return false;
  }
}

COutputFile::Result COutputFile::Write(const void* data, std::size_t size) {
  if (!m_file.IsValid()) return Result::kFailed;
  const int fd = m_file.Get();
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EPIPE) return Result::kReaderGone;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return Result::kFailed;
      // The reader is behind: wait for room or a stop, whichever comes first. A stop
      // that came before the wait has left the notice readable already.
      pollfd waits[2] = {{fd, POLLOUT, 0}, {StopNoticeDescriptor(), POLLIN, 0}};
      const nfds_t count = waits[1].fd >= 0 ? 2 : 1;
      if (::poll(waits, count, -1) < 0 && errno != EINTR) return Result::kFailed;
      if (StopRequested()) return Result::kStopped;
      continue;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return Result::kWritten;
}

bool COutputFile::Close() {
  if (!m_file.IsValid()) return true;
  return ::close(m_file.Release()) == 0 || errno == EINTR;
}

}  // namespace platform
