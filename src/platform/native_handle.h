// The handles the platform's classes keep, one type per backend behind one name each, so
// that the classes' headers never say how a system keeps them:
//
//   CNamedObjectHandle  a named mutex, event or shared region held open
//   CFileHandle         an open file or pipe
//   CProcessHandle      a started child process not yet waited for
//
//   class CThing {
//     ...
//    private:
//     platform::CFileHandle m_file;   // closed with the object; moves with it
//   };
//
// Each is a CScopedHandle: move-only, closed exactly once (see scoped_handle.h). Closing
// keeps the thread's last error. A process handle that is closed while its process still
// runs ends the process first (it is killed and, where the system needs it, reaped).
// Threading: one thread at a time per handle.
#pragma once

#include "platform/scoped_handle.h"

#ifdef _WIN32

#include "platform/windows_types.h"

namespace platform {
namespace win32 {

struct KernelHandleTraits {
  using Handle = HANDLE;
  static HANDLE Invalid() noexcept { return nullptr; }
  static bool IsValid(HANDLE handle) noexcept { return handle != nullptr; }
  static void Close(HANDLE handle) noexcept {
    const DWORD saved = ::GetLastError();
    ::CloseHandle(handle);
    ::SetLastError(saved);
  }
};

struct ProcessHandleTraits : KernelHandleTraits {
  static void Close(HANDLE process) noexcept {
    const DWORD saved = ::GetLastError();
    // 137 = 128 + 9, what a child killed by SIGKILL reports elsewhere.
    if (::WaitForSingleObject(process, 0) == WAIT_TIMEOUT && ::TerminateProcess(process, 137))
      ::WaitForSingleObject(process, 10000);
    ::CloseHandle(process);
    ::SetLastError(saved);
  }
};

}  // namespace win32

using CNamedObjectHandle = CScopedHandle<win32::KernelHandleTraits>;
using CFileHandle = CScopedHandle<win32::KernelHandleTraits>;
using CProcessHandle = CScopedHandle<win32::ProcessHandleTraits>;

}  // namespace platform

#else  // !_WIN32

#include "platform/posix/native_handle_traits.h"
#include "platform/posix/shared_segment.h"

namespace platform {

using CNamedObjectHandle = posix::CSegmentHandle;
using CFileHandle = CScopedHandle<posix::DescriptorTraits>;
using CProcessHandle = CScopedHandle<posix::ChildProcessTraits>;

}  // namespace platform

#endif
