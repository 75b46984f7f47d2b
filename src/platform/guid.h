// Text forms of GUIDs, and new random GUIDs.
//
// Two text forms exist: the braceless 36-character form that the RPC parser accepts
// ("5E0B7A21-93C4-4D6F-A1E8-27C3B94D0F6A", either letter case) and the braced
// upper-case form the registry uses ("{5E0B7A21-...}"). Parsers accept exactly their
// form and nothing else (no blanks, no trailing text); on failure the output is left
// all zero. Stateless and thread-safe.
#pragma once

#include <string>

#include "platform/windows_types.h"

namespace platform {

// Braceless form; ERROR_SUCCESS or RPC_S_INVALID_STRING_UUID, like UuidFromStringW.
LONG UuidFromString(const wchar_t* text, GUID* guid);
// Braced form; true on success.
bool GuidFromRegistryString(const wchar_t* text, GUID* guid);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::wstring GuidToRegistryString(const GUID& guid);
// A new random (version 4) identifier from the system's random source.
HRESULT CreateGuid(GUID* guid);

}  // namespace platform
