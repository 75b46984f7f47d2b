#include "runtime/filter_mapper.h"

#include <vector>

#include "com/query_answer.h"
#include "platform/guid.h"
#include "platform/reg_key.h"
#include "runtime/device_moniker.h"
#include "runtime/filter_data.h"

namespace runtime {

std::wstring CategoryInstanceKey(REFCLSID category) {
  return L"CLSID\\" + platform::GuidToRegistryString(category) + L"\\Instance";
}

bool IsSingleKeyName(const std::wstring& name) {
  return !name.empty() && name.size() <= 255 && name.find(L'\\') == std::wstring::npos;
}

}  // namespace runtime

namespace {

HRESULT FromRegistryCode(LONG code) { return code == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(code); }

std::wstring InstanceName(LPCOLESTR szInstance, REFCLSID clsidFilter) {
  if (szInstance != nullptr && *szInstance != L'\0') return szInstance;
  return platform::GuidToRegistryString(clsidFilter);
}

}  // namespace

HRESULT CFilterMapper::CreateInstance(REFIID riid, void** ppv) { return CreateAndQuery<CFilterMapper>(riid, ppv); }

STDMETHODIMP CFilterMapper::QueryInterface(REFIID riid, void** ppv) {
  return AnswerQuery(static_cast<IFilterMapper2*>(this), riid, ppv, {IID_IUnknown, IID_IFilterMapper2});
}

STDMETHODIMP CFilterMapper::CreateCategory(REFCLSID, DWORD, LPCWSTR) { return E_NOTIMPL; }

STDMETHODIMP CFilterMapper::RegisterFilter(REFCLSID clsidFilter, LPCWSTR Name, IMoniker** ppMoniker,
                                           const CLSID* pclsidCategory, LPCOLESTR szInstance,
                                           const REGFILTER2* prf2) {
  if (Name == nullptr || prf2 == nullptr) return E_POINTER;
  if (ppMoniker != nullptr && *ppMoniker != nullptr) return E_NOTIMPL;
  const CLSID category = pclsidCategory != nullptr ? *pclsidCategory : CLSID_LegacyAmFilterCategory;
  const std::wstring instance = InstanceName(szInstance, clsidFilter);
  if (!runtime::IsSingleKeyName(instance)) return E_INVALIDARG;
  std::vector<BYTE> filterData;
  HRESULT hr = CFilterData::Serialize(*prf2, &filterData);
  if (FAILED(hr)) return hr;
  if (filterData.size() > 0xFFFFFFFFu) return E_INVALIDARG;

  CRegKey key;
  const std::wstring keyName = runtime::CategoryInstanceKey(category) + L"\\" + instance;
  LONG code = key.Create(HKEY_CLASSES_ROOT, keyName.c_str(), KEY_WRITE | KEY_QUERY_VALUE);
  if (code == ERROR_SUCCESS) code = key.SetString(L"FriendlyName", Name);
  if (code == ERROR_SUCCESS) code = key.SetString(L"CLSID", platform::GuidToRegistryString(clsidFilter));
  if (code == ERROR_SUCCESS)
    code = key.SetValue(L"FilterData", REG_BINARY, filterData.data(), static_cast<DWORD>(filterData.size()));
  if (code != ERROR_SUCCESS) return FromRegistryCode(code);
  if (ppMoniker != nullptr) return CDeviceMoniker::Create(category, instance, ppMoniker);
  return S_OK;
}

STDMETHODIMP CFilterMapper::UnregisterFilter(const CLSID* pclsidCategory, LPCOLESTR szInstance, REFCLSID Filter) {
  const CLSID category = pclsidCategory != nullptr ? *pclsidCategory : CLSID_LegacyAmFilterCategory;
  const std::wstring instance = InstanceName(szInstance, Filter);
  if (!runtime::IsSingleKeyName(instance)) return E_INVALIDARG;
  CRegKey parent;
  LONG code = parent.Open(HKEY_CLASSES_ROOT, runtime::CategoryInstanceKey(category).c_str(),
                          DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE);
  if (code == ERROR_SUCCESS) code = parent.DeleteTree(instance.c_str());
  return FromRegistryCode(code);
}

STDMETHODIMP CFilterMapper::EnumMatchingFilters(IEnumMoniker** ppEnum, DWORD, BOOL, DWORD, BOOL, DWORD, const GUID*,
                                                const REGPINMEDIUM*, const CLSID*, BOOL, BOOL, DWORD, const GUID*,
                                                const REGPINMEDIUM*, const CLSID*) {
  if (ppEnum != nullptr) *ppEnum = nullptr;
  return E_NOTIMPL;
}
