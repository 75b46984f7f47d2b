#include "platform/registry_import.h"

#include "platform/reg_key.h"
#include "platform/registry_hive.h"

namespace platform {
namespace {

struct Root {
  HKEY key;
  const wchar_t* name;
};
const Root kRoots[] = {{HKEY_CURRENT_USER, L"HKEY_CURRENT_USER"},
                       {HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE"},
                       {HKEY_CLASSES_ROOT, L"HKEY_CLASSES_ROOT"}};

std::wstring JoinPath(const std::wstring& parent, const std::wstring& name) {
  return parent.empty() ? name : parent + L"\\" + name;
}

LONG ImportKey(HKEY root, const std::wstring& path, const CRegistryHive::Key& key) {
  if (!path.empty()) {
    CRegKey target;
    LONG result = target.Create(root, path.c_str(), KEY_SET_VALUE | KEY_CREATE_SUB_KEY);
    if (result != ERROR_SUCCESS) return result;
    for (std::size_t i = 0; i < key.ValueCount(); ++i) {
      const CRegistryHive::Value* value = key.ValueAt(i);
      result = target.SetValue(value->name.c_str(), value->type, value->data.empty() ? nullptr : value->data.data(),
                               static_cast<DWORD>(value->data.size()));
      if (result != ERROR_SUCCESS) return result;
    }
  }
  for (std::size_t i = 0; i < key.SubkeyCount(); ++i) {
    const std::wstring& name = *key.SubkeyNameAt(i);
    const LONG result = ImportKey(root, JoinPath(path, name), *key.FindSubkey(name));
    if (result != ERROR_SUCCESS) return result;
  }
  return ERROR_SUCCESS;
}

}  // namespace

LONG ImportRegistryText(HKEY root, const std::string& text) {
  for (const Root& candidate : kRoots) {
    if (candidate.key != root) continue;
    const CRegistryHive hive = CRegistryHive::Parse(candidate.name, text);
    if (!hive.IsClean()) return ERROR_BADDB;
    const CRegistryHive::Key* top = hive.FindKey({});
    return top != nullptr ? ImportKey(root, L"", *top) : ERROR_SUCCESS;
  }
  return ERROR_INVALID_PARAMETER;
}

}  // namespace platform
