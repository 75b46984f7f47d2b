#include "diagnostics/log_file.h"

#include <cstdarg>
#include <cwchar>
#include <ctime>
#include <mutex>

#include "platform/clock.h"
#include "platform/system_error.h"
#include "platform/wide_string.h"

AMBERLINE_LOG_CONSTINIT CLogFile g_Log;

bool CLogFile::Open(const wchar_t* path, const wchar_t* mode) {
  std::lock_guard<CStaticLock> lock(m_lock);
  m_path = path != nullptr ? path : L"";
  m_nextRotationCheck = 0;
  m_stream.Close();
  m_open = path != nullptr && mode != nullptr && mode[0] == L'a' && m_stream.Open(m_path);
  return m_open;
}

void CLogFile::Close() {
  std::lock_guard<CStaticLock> lock(m_lock);
  m_stream.Close();
  m_open = false;
}

void CLogFile::Write(int level, const wchar_t* format, ...) {
  if (!IsOpen() || level > m_level) return;
  const std::wstring prefix = TimeStamp();
  va_list args;
  va_start(args, format);
  std::wstring text = platform::FormatV(format, args);
  va_end(args);
  std::erase(text, L'\r');
  std::lock_guard<CStaticLock> lock(m_lock);
  m_stream.Write(prefix);
  m_stream.Write(text);
  RotateIfLarge();
}

void CLogFile::WriteLastError(int level) {
  const DWORD code = platform::GetLastError();
  // The text is fetched whatever the level, so the cost of this call does not depend on it.
  const std::wstring text = platform::FormatSystemMessage(code);
  Write(level, L"Error %lu(%XH): %s", code, code, text.c_str());
}

std::wstring CLogFile::TimeStamp() const {
  std::tm local = platform::LocalTimeNow();
  wchar_t buffer[128];
  if (std::wcsftime(buffer, 128, L"| %x %X | ", &local) == 0) buffer[0] = L'\0';
  return buffer;
}

void CLogFile::RotateIfLarge() {
  const std::uint64_t size = m_stream.Size();
  if (size <= m_rotationSize || size < m_nextRotationCheck) return;
  const std::wstring rotated = m_path + L".1";
  const std::wstring first =
      TimeStamp() + platform::Format(L"This file continues the log in %s, which passed %I64d bytes\n", rotated.c_str(),
                                     static_cast<long long>(m_rotationSize));
  if (m_stream.Rotate(m_path, rotated, first)) {
    m_nextRotationCheck = 0;
  } else {
    m_nextRotationCheck = size + m_rotationSize / 64;
  }
}
