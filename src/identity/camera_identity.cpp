#include "identity/camera_identity.h"

#include "diagnostics/log_file.h"
#include "platform/guid.h"
#include "platform/reg_key.h"
#include "platform/system_error.h"
#include "platform/wide_string.h"

HMODULE g_hModule = nullptr;
WCHAR g_FilterName[1024] = {};
WCHAR* g_pFilterName = nullptr;
const CLSID* g_pFilterClsid = nullptr;
bool g_bCustomSourceFound = false;

const CLSID CLSID_Amberline = {0x5E0B7A21, 0x93C4, 0x4D6F, {0xA1, 0xE8, 0x27, 0xC3, 0xB9, 0x4D, 0x0F, 0x6A}};

namespace {

constexpr const wchar_t* kCustomSourceListKey = L"SOFTWARE\\Trelvox\\Amberline";
constexpr DWORD kSubKeyNameChars = 512;
constexpr DWORD kValueChars = 260;

// Storage for a custom source's class identifier; it lives as long as the module.
CLSID g_customSourceClsid = {};
// Written once at start-up with the other identity globals, read-only afterwards. Plain
// storage (no constructor), so that it is ready before the load-time start-up runs.
WCHAR g_unparsableClsidEntry[kSubKeyNameChars] = {};

// A string value, or empty when it is missing, not a string, not terminated or longer
// than the 260-character buffer allows.
std::wstring ReadStringValue(const CRegKey& key, const wchar_t* name) {
  wchar_t buffer[kValueChars];
  buffer[0] = L'\0';
  key.QueryString(name, buffer, kValueChars);
  return buffer;
}

}  // namespace

CameraIdentity LookUpCameraIdentity(const std::wstring& modulePath) {
  CameraIdentity identity{kBuiltInFilterName, CLSID_Amberline, false};

  CRegKey list;
  if (list.Open(HKEY_LOCAL_MACHINE, kCustomSourceListKey, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS) !=
      ERROR_SUCCESS) {
    g_Log.Write(0, L"Failed to open registry key SOFTWARE\\Trelvox\\Amberline.\n");
    g_Log.WriteLastError(0);
    return identity;
  }
  g_Log.Write(0, L"Opened registry key successfully.\n");

  for (DWORD index = 0;; ++index) {
    wchar_t subKeyName[kSubKeyNameChars];
    DWORD nameChars = kSubKeyNameChars;
    if (list.EnumKey(index, subKeyName, &nameChars) != ERROR_SUCCESS) break;

    CRegKey entry;
    if (entry.Open(list, subKeyName, KEY_QUERY_VALUE) != ERROR_SUCCESS) continue;
    const std::wstring entryName = ReadStringValue(entry, nullptr);
    const std::wstring entryPath = ReadStringValue(entry, L"Path");
    const std::wstring entryClsid = ReadStringValue(entry, L"CLSID");
    g_Log.Write(0, L"Found entry name = %s, path = %s\n", entryName.c_str(), entryPath.c_str());

    if (platform::CompareNoCase(modulePath.c_str(), entryPath.c_str()) == 0) {
      g_Log.Write(0, L"Found my module name in the list of custom sources!\n");
      identity.name = entryName;
      identity.customSourceFound = true;
      if (platform::UuidFromString(entryClsid.c_str(), &identity.clsid) != ERROR_SUCCESS) {
        identity.clsid = CLSID_Amberline;
        identity.unparsableClsidEntry = subKeyName;
        g_Log.Write(0, L"CLSID value \"%s\" is not a class identifier; the built-in one is used.\n",
                    entryClsid.c_str());
      }
      break;
    }
  }
  return identity;
}

void SetCameraIdentity(const CameraIdentity& identity) {
  g_bCustomSourceFound = identity.customSourceFound;
  platform::CopyTruncated(g_unparsableClsidEntry, kSubKeyNameChars, identity.unparsableClsidEntry.c_str());
  platform::CopyTruncated(g_FilterName, sizeof g_FilterName / sizeof g_FilterName[0], identity.name.c_str());
  g_pFilterName = g_FilterName;
  if (identity.customSourceFound) {
    g_customSourceClsid = identity.clsid;
    g_pFilterClsid = &g_customSourceClsid;
  } else {
    g_pFilterClsid = &CLSID_Amberline;
  }
}

const WCHAR* UnparsableClsidEntry() { return g_unparsableClsidEntry; }
