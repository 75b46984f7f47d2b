// The registry keys of an in-process server's class.
//
//   WriteServerKeys(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID\\{…}", L"Name", path, L"Both",
//                   L"InprocServer32");
//   DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID\\{…}");
//
// WriteServerKeys writes the class key with the display name as its default value and the
// server key below it with the module path (in full, wide characters) and its threading
// model. DeleteKeyTree removes a key and everything below it; a key that is not there is
// S_OK, an empty name E_FAIL. Registry failures are HRESULT_FROM_WIN32 of the system error.
// Threading: any thread; the registry serialises the writes.
#pragma once

#include <string>

#include "platform/windows_types.h"

HRESULT WriteServerKeys(HKEY root, const std::wstring& classKeyName, const WCHAR* name, const std::wstring& path,
                        const WCHAR* threadingModel, const WCHAR* serverKey);

HRESULT DeleteKeyTree(HKEY parent, const WCHAR* name);
