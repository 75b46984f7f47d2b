#include "identity/custom_sources.h"

#include "platform/reg_key.h"

namespace {

std::wstring StringOf(const CRegKey& key, const wchar_t* name) {
  std::wstring value;
  if (key.QueryString(name, &value) != ERROR_SUCCESS) value.clear();
  return value;
}

}  // namespace

HRESULT CCustomSources::Read(std::vector<CustomSource>* entries, REGSAM view) {
  entries->clear();
  CRegKey list;
  const LONG opened = list.Open(HKEY_LOCAL_MACHINE, kListKey, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | view);
  if (opened == ERROR_FILE_NOT_FOUND) return S_OK;
  if (opened != ERROR_SUCCESS) return HRESULT_FROM_WIN32(opened);
  for (DWORD index = 0;; ++index) {
    wchar_t subKey[512];
    DWORD chars = 512;
    const LONG listed = list.EnumKey(index, subKey, &chars);
    if (listed == ERROR_NO_MORE_ITEMS) break;
    if (listed != ERROR_SUCCESS) return HRESULT_FROM_WIN32(listed);
    CRegKey entry;
    if (entry.Open(list, subKey, KEY_QUERY_VALUE | view) != ERROR_SUCCESS) continue;
    entries->push_back({subKey, StringOf(entry, nullptr), StringOf(entry, L"Path"), StringOf(entry, L"CLSID"),
                        StringOf(entry, L"MFCLSID"), StringOf(entry, L"Channel")});
  }
  return S_OK;
}

HRESULT CCustomSources::Write(const CustomSource& entry, REGSAM view) {
  CRegKey key;
  const std::wstring path = std::wstring(kListKey) + L"\\" + entry.subKey;
  LONG result = key.Create(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS | view);
  if (result == ERROR_SUCCESS) result = key.SetString(nullptr, entry.name);
  if (result == ERROR_SUCCESS) result = key.SetString(L"Path", entry.path);
  if (result == ERROR_SUCCESS) result = key.SetString(L"CLSID", entry.clsid);
  if (result == ERROR_SUCCESS && !entry.mfClsid.empty()) result = key.SetString(L"MFCLSID", entry.mfClsid);
  if (result == ERROR_SUCCESS) result = key.SetString(L"Channel", entry.channel);
  return result == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(result);
}

HRESULT CCustomSources::Remove(const std::wstring& subKey, REGSAM view) {
  CRegKey list;
  LONG result = list.Open(HKEY_LOCAL_MACHINE, kListKey, KEY_ALL_ACCESS | view);
  if (result == ERROR_FILE_NOT_FOUND) return S_OK;
  if (result == ERROR_SUCCESS) result = list.DeleteTree(subKey.c_str());
  if (result == ERROR_FILE_NOT_FOUND) return S_OK;
  return result == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(result);
}

std::wstring CCustomSources::EntryText(const std::wstring& subKey) {
  return L"HKEY_LOCAL_MACHINE\\" + std::wstring(kListKey) + L"\\" + subKey;
}
