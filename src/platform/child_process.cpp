// The part of CChildProcess that is the same on every system: the two ways to start, and
// how a failed start is told.
#include <string>

#include "platform/child_process.h"
#include "platform/system_error.h"
#include "platform/wide_string.h"

bool CChildProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                          const Environment& extraEnvironment) {
  return Launch(program, arguments, extraEnvironment, false);
}

bool CChildProcess::StartCaptured(const std::string& program, const std::vector<std::string>& arguments,
                                  const Environment& extraEnvironment) {
  return Launch(program, arguments, extraEnvironment, true);
}

bool CChildProcess::Refuse(const std::string& program, const std::string& reason) {
  m_startError = "cannot start \"" + program + "\": " + reason;
  return false;
}

bool CChildProcess::FailStart(const std::string& program, DWORD code) {
  // The system's text on one line, without the line end and full stop it ends with.
  std::string text = platform::WideToUtf8(platform::FormatSystemMessage(code));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  if (text.empty()) text = "the system has no text for this error";
  Refuse(program, text + " (system error " + std::to_string(code) + ")");
  platform::SetLastError(code);
  return false;
}
