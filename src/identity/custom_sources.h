// CCustomSources: the machine-wide list of cameras beside the built-in one
// (HKEY_LOCAL_MACHINE\SOFTWARE\Trelvox\Amberline, one subkey per camera: default value =
// name, "Path" = its module file, "CLSID" = its class without braces, "MFCLSID" = its
// Media Foundation class (Windows), "Channel" = the channel it shows).
//
// Read gives every entry in the registry's order (values that are missing or not strings
// read as empty); a missing list is an empty one. Write creates or replaces one entry,
// Remove deletes one (S_OK when it is not there). Used by the registration tool and the
// bridge agent; the modules themselves read it in camera_identity.
//
// Ownership: no state. Threading: one thread. Failure: HRESULT_FROM_WIN32 of the
// registry's error.
#pragma once

#include <string>
#include <vector>

#include "platform/windows_types.h"

struct CustomSource {
  std::wstring subKey;
  std::wstring name;
  std::wstring path;
  std::wstring clsid;
  std::wstring mfClsid;
  std::wstring channel;
};

class CCustomSources {
 public:
  static constexpr const wchar_t* kListKey = L"SOFTWARE\\Trelvox\\Amberline";

  // view: 0, or KEY_WOW64_32KEY for the list 32-bit modules read on a 64-bit Windows.
  static HRESULT Read(std::vector<CustomSource>* entries, REGSAM view = 0);
  static HRESULT Write(const CustomSource& entry, REGSAM view = 0);
  static HRESULT Remove(const std::wstring& subKey, REGSAM view = 0);
  // "HKEY_LOCAL_MACHINE\SOFTWARE\Trelvox\Amberline\<subKey>", for messages.
  static std::wstring EntryText(const std::wstring& subKey);
};
