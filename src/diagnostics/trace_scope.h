// CTraceScope: brackets one operation in the log with an entry and an exit line.
//
//   >>> Entering: <name>
//   <<< Leaving: <name>. Completed in: <seconds, 3 decimals> sec.
//
// The name is formatted at construction (even when the level suppresses both lines, so
// a scope costs the same whatever the level) and the exit line is written when the scope
// ends by any path, early returns and unwinding included. Elapsed time is wall-clock, in
// whole milliseconds.
//
// Ownership/threading: lives on the stack of the traced operation; never copied or
// shared between threads. Writes through g_Log at the scope's level.
#pragma once

#include <cstdint>
#include <string>

class CTraceScope {
 public:
  CTraceScope(int level, const wchar_t* nameFormat, ...);
  ~CTraceScope();
  CTraceScope(const CTraceScope&) = delete;
  CTraceScope& operator=(const CTraceScope&) = delete;

 private:
  int m_level;
  std::wstring m_name;
  std::int64_t m_start = 0;
};
