// Status codes in words, for messages a person reads.
//
// DescribeStatus gives the code's name, its value in hexadecimal and what it means in a
// few words, e.g. "VFW_E_INVALIDMEDIATYPE (0x80040200): the media type is not acceptable".
// A code outside the table is named by its value; a system error code wrapped in a status
// (facility Win32) is described with the system's own text when the table has no row for
// it. A few values mean different things to the media pipeline and to self-registration;
// the domain picks the reading. Thread-safe: pure functions.
#pragma once

#include <string>

#include "platform/windows_types.h"

namespace diagnostics {

enum class StatusDomain {
  kMedia,         // interface operations of filters, pins, graphs and the component runtime
  kRegistration,  // DllRegisterServer / DllUnregisterServer results
};

std::string DescribeStatus(HRESULT hr, StatusDomain domain = StatusDomain::kMedia);

// The symbolic name alone ("VFW_E_INVALIDMEDIATYPE"), or an empty string when the table
// has no row for the value.
std::string StatusName(HRESULT hr, StatusDomain domain = StatusDomain::kMedia);

}  // namespace diagnostics
