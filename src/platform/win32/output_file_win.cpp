
#include "platform/output_file.h"
#include "platform/stop_request.h"
#include "platform/wide_string.h"
#include "platform/windows_types.h"

namespace platform {

bool COutputFile::Create(const std::string& path) {
  Close();
  const std::wstring wide = Utf8ToWide(path);
  // A named pipe exists already and is opened; anything else is made anew.
  const bool pipe = wide.rfind(L"\\\\.\\pipe\\", 0) == 0;
  const HANDLE handle = ::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                     pipe ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  m_file.Reset(handle);
  return true;
}

COutputFile::Result COutputFile::Write(const void* data, std::size_t size) {
  if (!m_file.IsValid()) return Result::kFailed;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(m_file.Get(), p, chunk, &written, nullptr)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE) return Result::kReaderGone;
      if (error == ERROR_OPERATION_ABORTED && StopRequested()) return Result::kStopped;
      return Result::kFailed;
    }
    p += written;
    size -= written;
  }
  return Result::kWritten;
}

bool COutputFile::Close() {
  if (!m_file.IsValid()) return true;
  return ::CloseHandle(m_file.Release()) != FALSE;
}

}  // namespace platform
