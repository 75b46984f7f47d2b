#include "platform/pipe_probe.h"

#include <windows.h>

#include "platform/system_error.h"

namespace platform {

namespace {

// The shortest wait WaitNamedPipeW takes; 0 would mean "the server's default".
constexpr DWORD kShortestWaitMs = 1;

}  // namespace

bool PipeExists(const std::wstring& name, std::wstring* problem) {
  if (problem != nullptr) problem->clear();
  if (::WaitNamedPipeW(name.c_str(), kShortestWaitMs)) return true;
  const DWORD code = ::GetLastError();
  // A timeout means the pipe is there with every instance busy.
  if (code == ERROR_SEM_TIMEOUT) return true;
  if (code != ERROR_FILE_NOT_FOUND && problem != nullptr) *problem = DescribeSystemError(code);
  return false;
}

}  // namespace platform
