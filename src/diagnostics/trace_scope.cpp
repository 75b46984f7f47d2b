#include "diagnostics/trace_scope.h"

#include <cstdarg>

#include "diagnostics/log_file.h"
#include "platform/clock.h"
#include "platform/wide_string.h"

CTraceScope::CTraceScope(int level, const wchar_t* nameFormat, ...) : m_level(level) {
  va_list args;
  va_start(args, nameFormat);
  m_name = platform::FormatV(nameFormat, args);
  va_end(args);
  std::erase(m_name, L'\r');
  g_Log.Write(m_level, L">>> Entering: %s\n", m_name.c_str());
  m_start = platform::ProcessClockMs();
}

CTraceScope::~CTraceScope() {
  const double elapsed = static_cast<double>(platform::ProcessClockMs() - m_start) / 1000.0;
  g_Log.Write(m_level, L"<<< Leaving: %s. Completed in: %0.3f sec.\n", m_name.c_str(), elapsed);
}
