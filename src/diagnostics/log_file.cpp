#include "diagnostics/log_file.h"

#include <cstdarg>
#include <cwchar>
#include <ctime>

#include "platform/clock.h"
#include "platform/system_error.h"
#include "platform/wide_string.h"

AMBERLINE_LOG_CONSTINIT CLogFile g_Log;

bool CLogFile::Open(const wchar_t* path, const wchar_t* mode) {
  m_path = path != nullptr ? path : L"";
  if (path == nullptr || mode == nullptr || mode[0] != L'a') return false;
  return m_stream.Open(m_path);
}

void CLogFile::Write(int level, const wchar_t* format, ...) {
  if (!m_stream.IsOpen() || level > m_level) return;
  WriteTimeStamp();
  va_list args;
  va_start(args, format);
  std::wstring text = platform::FormatV(format, args);
  va_end(args);
  WriteMessage(std::move(text));
}

void CLogFile::WriteLastError(int level) {
  const DWORD code = platform::GetLastError();
  // The text is fetched whatever the level, so the cost of this call does not depend on it.
  const std::wstring text = platform::FormatSystemMessage(code);
  Write(level, L"Error %lu(%XH): %s", code, code, text.c_str());
}

void CLogFile::WriteTimeStamp() {
  std::tm local = platform::LocalTimeNow();
  wchar_t buffer[128];
  if (std::wcsftime(buffer, 128, L"| %x %X | ", &local) == 0) buffer[0] = L'\0';
  m_stream.Write(buffer);
}

void CLogFile::WriteMessage(std::wstring text) {
  std::erase(text, L'\r');
  m_stream.Write(text);
}
