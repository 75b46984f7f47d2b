// The name a consumer registers under in the channel's client table, so that the producer
// and the diagnostics can tell every camera instance apart:
//
//   m_composer.Announce(NewClientName(HostProcessName()), width, height);
//
// NewClientName gives "<prefix>-<GUID>" with a new GUID's 36 characters (no braces), or
// the prefix alone when the system gives no GUID. HostProcessName is the host's executable
// file name (the whole path when it has no separator). Threading: any thread.
#pragma once

#include <string>

std::wstring NewClientName(const std::wstring& prefix);
std::wstring HostProcessName();
