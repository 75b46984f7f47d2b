#include "identity/camera_identity.h"

#include <utility>
#include <vector>

#include "channel/channel_name.h"
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
const CLSID CLSID_AmberlineMf = {0x9C3E6B14, 0x2F7A, 0x4E85, {0xB0, 0xD1, 0x6A, 0x4F, 0x8C, 0x2E, 0x7B, 0x39}};

namespace {

constexpr const wchar_t* kCustomSourceListKey = L"SOFTWARE\\Trelvox\\Amberline";
constexpr DWORD kSubKeyNameChars = 512;
constexpr DWORD kValueChars = 260;

// Storage for a custom source's class identifier; it lives as long as the module.
CLSID g_customSourceClsid = {};
// Written once at start-up with the other identity globals, read-only afterwards. Plain
// storage (no constructor), so that it is ready before the load-time start-up runs.
WCHAR g_unparsableClsidEntry[kSubKeyNameChars] = {};
WCHAR g_badChannelEntry[kSubKeyNameChars] = {};

// A string value, or empty when it is missing, not a string, not terminated or longer
// than the 260-character buffer allows.
std::wstring ReadStringValue(const CRegKey& key, const wchar_t* name) {
  wchar_t buffer[kValueChars];
  buffer[0] = L'\0';
  key.QueryString(name, buffer, kValueChars);
  return buffer;
}

// Whether key has a value called name (of any type). Asked before the value is read, so
// that an entry without it costs no failed registry call at load.
bool HasValue(const CRegKey& key, const wchar_t* name) {
  std::wstring valueName;
  DWORD type = REG_NONE;
  for (DWORD index = 0; key.EnumValue(index, &valueName, &type) == ERROR_SUCCESS; ++index)
    if (platform::CompareNoCase(valueName.c_str(), name) == 0) return true;
  return false;
}

}  // namespace

namespace {

// What one module copy looks for in the custom-source list.
struct ClassChoice {
  std::vector<std::wstring> paths;  // an entry whose "Path" names one of these matches
  const wchar_t* clsidValue;        // the value that names the class
  CLSID builtIn;                    // the class without a usable entry
  bool mediaFoundation;             // the class must differ from every DirectShow class
};

bool UsableMfClass(const CLSID& clsid, const std::wstring& entryClsid) {
  if (clsid == CLSID_Amberline || clsid == CLSID_AmberlineMf) return false;
  CLSID filterClass{};
  return platform::UuidFromString(entryClsid.c_str(), &filterClass) != ERROR_SUCCESS || !(clsid == filterClass);
}

CameraIdentity LookUp(const ClassChoice& choice) {
  CameraIdentity identity{kBuiltInFilterName, choice.builtIn, false};

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
    g_Log.Write(0, L"Found entry name = %s, path = %s\n", entryName.c_str(), entryPath.c_str());

    bool matches = false;
    for (const std::wstring& path : choice.paths) matches = matches || platform::CompareNoCase(path.c_str(), entryPath.c_str()) == 0;
    if (!matches) continue;
    g_Log.Write(0, L"Found my module name in the list of custom sources!\n");
    identity.name = entryName;
    identity.customSourceFound = true;
    const std::wstring entryClsid = ReadStringValue(entry, choice.clsidValue);
    bool usable = platform::UuidFromString(entryClsid.c_str(), &identity.clsid) == ERROR_SUCCESS;
    if (usable && choice.mediaFoundation) usable = UsableMfClass(identity.clsid, ReadStringValue(entry, L"CLSID"));
    if (!usable) {
      identity.clsid = choice.builtIn;
      identity.unparsableClsidEntry = subKeyName;
      g_Log.Write(0, L"%s value \"%s\" is not a class identifier%s; the built-in one is used.\n", choice.clsidValue,
                  entryClsid.c_str(), choice.mediaFoundation ? L" of its own" : L"");
    }
    // A value that is there but not a readable string counts as a bad name, never as none.
    std::wstring entryChannel;
    if (HasValue(entry, L"Channel") && entry.QueryString(L"Channel", &entryChannel) != ERROR_SUCCESS)
      entryChannel = L"(not a string)";
    if (entryChannel.size() > kValueChars) entryChannel.resize(kValueChars);
    if (entryChannel.empty() || channel::IsChannelName(entryChannel)) {
      identity.channel = entryChannel;
    } else {
      identity.badChannelEntry = subKeyName;
      g_Log.Write(0,
                  L"The custom source entry %s has the Channel value \"%s\", which is not a channel name (1 to %d "
                  L"letters, digits, '-' and '_'); this copy shows the default channel and does not register.\n",
                  subKeyName, entryChannel.c_str(), static_cast<int>(channel::kMaxChannelNameChars));
    }
    break;
  }
  return identity;
}

}  // namespace

CameraIdentity LookUpCameraIdentity(const std::wstring& modulePath) {
  return LookUp(ClassChoice{{modulePath}, L"CLSID", CLSID_Amberline, false});
}

CameraIdentity LookUpMfCameraIdentity(const std::wstring& mfModulePath) {
  std::vector<std::wstring> paths{mfModulePath};
  const std::size_t slash = mfModulePath.find_last_of(L"\\/");
  if (slash != std::wstring::npos) paths.push_back(mfModulePath.substr(0, slash + 1) + kFilterModuleFileName);
  return LookUp(ClassChoice{std::move(paths), L"MFCLSID", CLSID_AmberlineMf, true});
}

void SetCameraIdentity(const CameraIdentity& identity) {
  g_bCustomSourceFound = identity.customSourceFound;
  platform::CopyTruncated(g_unparsableClsidEntry, kSubKeyNameChars, identity.unparsableClsidEntry.c_str());
  platform::CopyTruncated(g_badChannelEntry, kSubKeyNameChars, identity.badChannelEntry.c_str());
  channel::SetProcessChannel(identity.channel);
  platform::CopyTruncated(g_FilterName, sizeof g_FilterName / sizeof g_FilterName[0], identity.name.c_str());
  g_pFilterName = g_FilterName;
  if (identity.clsid == CLSID_Amberline) {
    g_pFilterClsid = &CLSID_Amberline;
  } else {
    g_customSourceClsid = identity.clsid;
    g_pFilterClsid = &g_customSourceClsid;
  }
}

const WCHAR* UnparsableClsidEntry() { return g_unparsableClsidEntry; }
const WCHAR* BadChannelEntry() { return g_badChannelEntry; }

bool RefusedForBadChannel() {
  if (g_badChannelEntry[0] == L'\0') return false;
  g_Log.Write(0, L"Not registered: the custom source entry %s names this module with a Channel value that is not a channel name.\n",
              g_badChannelEntry);
  return true;
}
