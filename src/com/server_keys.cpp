#include "com/server_keys.h"

#include "platform/reg_key.h"
#include "platform/system_error.h"

namespace {

HRESULT FromWin32(LONG error) { return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error); }

}  // namespace

HRESULT WriteServerKeys(HKEY root, const std::wstring& classKeyName, const WCHAR* name, const std::wstring& path,
                        const WCHAR* threadingModel, const WCHAR* serverKey) {
  CRegKey classKey;
  LONG error = classKey.Create(root, classKeyName.c_str(), KEY_WRITE);
  if (error != ERROR_SUCCESS) return FromWin32(error);
  error = classKey.SetString(nullptr, name != nullptr ? name : L"");
  if (error != ERROR_SUCCESS) return FromWin32(error);
  CRegKey server;
  error = server.Create(classKey, serverKey, KEY_WRITE);
  if (error != ERROR_SUCCESS) return FromWin32(error);
  error = server.SetString(nullptr, path);
  if (error == ERROR_SUCCESS) error = server.SetString(L"ThreadingModel", threadingModel);
  return FromWin32(error);
}

HRESULT DeleteKeyTree(HKEY parent, const WCHAR* name) {
  if (name == nullptr || name[0] == L'\0') return E_FAIL;
  {
    CRegKey key;
    if (key.Open(parent, name, KEY_ALL_ACCESS) != ERROR_SUCCESS) return S_OK;
  }
  const std::wstring full(name);
  const std::size_t split = full.rfind(L'\\');
  const std::wstring parentPath = split == std::wstring::npos ? std::wstring() : full.substr(0, split);
  const std::wstring leaf = split == std::wstring::npos ? full : full.substr(split + 1);
  CRegKey container;
  const LONG error = container.Open(parent, parentPath.c_str(), KEY_ALL_ACCESS);
  if (error != ERROR_SUCCESS) return FromWin32(error);
  return FromWin32(container.DeleteTree(leaf.c_str()));
}
