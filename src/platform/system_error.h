// The calling thread's last system error and the system's text for an error code.
//
// On Windows these are GetLastError/SetLastError and FormatMessageW. Elsewhere the last
// error is errno, and the text is strerror's followed by "\r\n", the line end with which
// the system message table ends every text on Windows, so that a logged error is one
// line on both systems. Thread-safe: both act on the calling thread only.
#pragma once

#include <string>

#include "platform/windows_types.h"

namespace platform {

DWORD GetLastError();
void SetLastError(DWORD code);
// The message text for code (neutral language, user's default sublanguage). Empty when
// the system has none.
std::wstring FormatSystemMessage(DWORD code);
// The code's text as one phrase for a sentence a person reads: the system's message
// without its line end and full stop, then the number ("Access is denied (error 5)").
std::wstring DescribeSystemError(DWORD code);

}  // namespace platform
