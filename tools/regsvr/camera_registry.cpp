#include "camera_registry.h"

#include <filesystem>
#include <system_error>

#include "identity/camera_identity.h"
#include "platform/dshow_guids.h"
#include "platform/guid.h"
#include "platform/reg_key.h"
#include "platform/wide_string.h"

namespace {

constexpr DWORD kKeyNameChars = 512;

HRESULT FromRegistryCode(LONG code) { return code == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(code); }

std::wstring CategoryKeyName() {
  return L"CLSID\\" + platform::GuidToRegistryString(CLSID_VideoInputDeviceCategory) + L"\\Instance";
}

std::wstring ReadString(const CRegKey& key, const wchar_t* name) {
  std::wstring value;
  if (key.QueryString(name, &value) != ERROR_SUCCESS) value.clear();
  return value;
}

// The class key's module path; classKeyFound tells a missing key from a missing value.
std::wstring ReadModulePath(const std::wstring& classText, bool* classKeyFound, REGSAM view = 0) {
  CRegKey classKey;
  *classKeyFound = !classText.empty() && classKey.Open(HKEY_CLASSES_ROOT, (L"CLSID\\" + classText).c_str(),
                                                       KEY_QUERY_VALUE | view) == ERROR_SUCCESS;
  if (!*classKeyFound) return std::wstring();
  CRegKey server;
  if (server.Open(classKey, L"InprocServer32", KEY_QUERY_VALUE | view) != ERROR_SUCCESS) return std::wstring();
  return ReadString(server, nullptr);
}

// Deletes name below the key at parentPath; a missing key or parent is no error.
HRESULT DeleteKey(const std::wstring& parentPath, const std::wstring& name) {
  CRegKey parent;
  LONG code = parent.Open(HKEY_CLASSES_ROOT, parentPath.c_str(),
                          DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE);
  if (code == ERROR_SUCCESS) code = parent.DeleteTree(name.c_str());
  return code == ERROR_FILE_NOT_FOUND ? S_OK : FromRegistryCode(code);
}

}  // namespace

HRESULT CCameraRegistry::Read(std::vector<CameraRegistration>* cameras, std::size_t* others) const {
  cameras->clear();
  *others = 0;
  // A hive that does not parse reads as (partly) empty: listing it would call cameras
  // unregistered that may well be registered.
  if (!platform::RegistryFileProblems().empty()) return HRESULT_FROM_WIN32(ERROR_BADDB);
  CRegKey category;
  const LONG opened = category.Open(HKEY_CLASSES_ROOT, CategoryKeyName().c_str(), KEY_ENUMERATE_SUB_KEYS);
  if (opened == ERROR_FILE_NOT_FOUND) return S_OK;
  if (opened != ERROR_SUCCESS) return FromRegistryCode(opened);
  for (DWORD index = 0;; ++index) {
    wchar_t name[kKeyNameChars];
    DWORD nameChars = kKeyNameChars;
    const LONG code = category.EnumKey(index, name, &nameChars);
    if (code == ERROR_NO_MORE_ITEMS) break;
    if (code != ERROR_SUCCESS) return FromRegistryCode(code);
    CameraRegistration entry;
    entry.instance = name;
    CRegKey key;
    if (key.Open(category, name, KEY_QUERY_VALUE) == ERROR_SUCCESS) {
      entry.friendlyName = ReadString(key, L"FriendlyName");
      entry.classText = ReadString(key, L"CLSID");
    }
    entry.modulePath = ReadModulePath(entry.classText, &entry.classKeyFound);
    if (!IsCamera(entry)) {
      ++*others;
      continue;
    }
    entry.moduleGone = FileIsGone(entry.modulePath);
    cameras->push_back(std::move(entry));
  }
  return S_OK;
}

HRESULT CCameraRegistry::Remove(const CameraRegistration& entry, bool* classKeyRemoved) const {
  *classKeyRemoved = false;
  HRESULT hr = DeleteKey(CategoryKeyName(), entry.instance);
  if (FAILED(hr) || !entry.classKeyFound) return hr;
  // The class key may have been written again since it was read (a copy registered
  // anew at the same class); it goes only while it still names the same missing file.
  bool classKeyFound = false;
  const std::wstring path = ReadModulePath(entry.classText, &classKeyFound);
  if (!classKeyFound || path != entry.modulePath || !FileIsGone(path)) return S_OK;
  hr = DeleteKey(L"CLSID", entry.classText);
  *classKeyRemoved = SUCCEEDED(hr);
  return hr;
}

bool CCameraRegistry::CategoryEntryExists(const std::wstring& instance) {
  if (instance.empty() || instance.find(L'\\') != std::wstring::npos) return false;
  CRegKey key;
  return key.Open(HKEY_CLASSES_ROOT, (CategoryKeyName() + L"\\" + instance).c_str(), KEY_QUERY_VALUE) ==
         ERROR_SUCCESS;
}

bool CCameraRegistry::ClassKeyExists(REFCLSID clsid) {
  CRegKey key;
  return key.Open(HKEY_CLASSES_ROOT, (L"CLSID\\" + platform::GuidToRegistryString(clsid)).c_str(),
                  KEY_QUERY_VALUE) == ERROR_SUCCESS;
}

std::wstring CCameraRegistry::ModulePathOf(REFCLSID clsid, bool* classKeyFound, REGSAM view) {
  return ReadModulePath(platform::GuidToRegistryString(clsid), classKeyFound, view);
}

bool CCameraRegistry::FileIsGone(const std::wstring& path) {
  if (path.empty()) return true;
  std::error_code error;
  return std::filesystem::status(std::filesystem::path(path), error).type() == std::filesystem::file_type::not_found;
}

std::wstring CCameraRegistry::ClassKeyText(const std::wstring& classText) {
  return L"HKEY_CLASSES_ROOT\\CLSID\\" + classText;
}

std::wstring CCameraRegistry::CategoryEntryText(const std::wstring& instance) {
  return L"HKEY_CLASSES_ROOT\\" + CategoryKeyName() + L"\\" + instance;
}

bool CCameraRegistry::IsCamera(const CameraRegistration& entry) const {
  GUID clsid{};
  if (platform::GuidFromRegistryString(entry.classText.c_str(), &clsid) && IsEqualGUID(clsid, CLSID_Amberline))
    return true;
  if (entry.modulePath.empty()) return false;
  return platform::EqualsNoCase(std::filesystem::path(entry.modulePath).filename().wstring(), m_moduleFileName);
}
