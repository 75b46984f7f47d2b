// Handle traits of the POSIX backend for CScopedHandle (see native_handle.h).
//
// DescriptorTraits: a file descriptor, closed with close(), errno kept.
// ChildProcessTraits: the id of a child process that has not been reaped yet; closing it
// kills the child (SIGKILL) and reaps it, so that neither the child nor its zombie
// outlives the handle. A reaped child's id must be given up with Release, never closed
// (the system may have handed the id to another process).
#pragma once

#include <sys/types.h>

namespace platform::posix {

struct DescriptorTraits {
  using Handle = int;
  static int Invalid() noexcept { return -1; }
  static bool IsValid(int descriptor) noexcept { return descriptor >= 0; }
  static void Close(int descriptor) noexcept;
};

struct ChildProcessTraits {
  using Handle = pid_t;
  static pid_t Invalid() noexcept { return 0; }
  static bool IsValid(pid_t process) noexcept { return process > 0; }
  static void Close(pid_t process) noexcept;
};

}  // namespace platform::posix
