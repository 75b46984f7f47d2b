#include <cerrno>
#include <cstring>

#include "platform/system_error.h"
#include "platform/wide_string.h"

namespace platform {

DWORD GetLastError() { return static_cast<DWORD>(errno); }

void SetLastError(DWORD code) { errno = static_cast<int>(code); }

std::wstring FormatSystemMessage(DWORD code) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in buffer.
  const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  if (text == nullptr || *text == '\0') return std::wstring();
  return Utf8ToWide(text) + L"\r\n";
}

}  // namespace platform
