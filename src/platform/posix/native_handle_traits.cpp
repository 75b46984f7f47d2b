#include "platform/posix/native_handle_traits.h"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace platform::posix {

void DescriptorTraits::Close(int descriptor) noexcept {
  const int saved = errno;
  ::close(descriptor);
  errno = saved;
}

void ChildProcessTraits::Close(pid_t process) noexcept {
  const int saved = errno;
  ::kill(process, SIGKILL);
  // A killed child ends promptly; the reaping still has a limit (10 s), so that a child
  // the system cannot end (one stuck in the kernel) never hangs its parent.
  for (int pause = 0; pause < 5000; ++pause) {
    const pid_t reaped = ::waitpid(process, nullptr, WNOHANG);
    if (reaped == process || (reaped < 0 && errno != EINTR)) break;
    timespec slice{0, 2 * 1000 * 1000};
    ::nanosleep(&slice, nullptr);
  }
  errno = saved;
}

}  // namespace platform::posix
