// CFilterMapper: the filter mapper (class CLSID_FilterMapper2, interface IFilterMapper2)
// that keeps filter registrations in the registry.
//
// RegisterFilter writes the key HKEY_CLASSES_ROOT\CLSID\{category}\Instance\{instance}
// with "FriendlyName" (REG_SZ, Name), "CLSID" (REG_SZ, the braced registry form of the
// filter's class) and "FilterData" (REG_BINARY, CFilterData's layout of *prf2). The
// category defaults to CLSID_LegacyAmFilterCategory when pclsidCategory is null, the
// instance name to the filter's class text when szInstance is null or empty. Writing
// again replaces the three values. When ppMoniker is given and *ppMoniker is null it
// receives the new entry's moniker; a moniker passed in is not supported (E_NOTIMPL,
// nothing written). UnregisterFilter deletes that key with everything below it, or
// answers HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when there is none.
//
// Instance names are one key name: a name holding a backslash, or longer than the
// registry's 255 characters, is refused with E_INVALIDARG so that no call can reach a
// key outside the category. Other results: E_POINTER (Name or prf2 null),
// E_INVALIDARG (a record version other than 1 or 2), a registry failure as
// HRESULT_FROM_WIN32 of its code. CreateCategory and EnumMatchingFilters answer
// E_NOTIMPL.
//
// Ownership: reference counted; created by class activation. Threading: any thread; it
// holds no state, the registry serialises the writes.
#pragma once

#include <string>

#include "platform/dshow_types.h"
#include "runtime/runtime_object.h"

class CFilterMapper final : public IFilterMapper2, private CRuntimeObject {
 public:
  static HRESULT CreateInstance(REFIID riid, void** ppv);

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return AddRefObject(); }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseObject(); }

  STDMETHODIMP CreateCategory(REFCLSID clsidCategory, DWORD dwCategoryMerit, LPCWSTR Description) override;
  STDMETHODIMP UnregisterFilter(const CLSID* pclsidCategory, LPCOLESTR szInstance, REFCLSID Filter) override;
  STDMETHODIMP RegisterFilter(REFCLSID clsidFilter, LPCWSTR Name, IMoniker** ppMoniker, const CLSID* pclsidCategory,
                              LPCOLESTR szInstance, const REGFILTER2* prf2) override;
  STDMETHODIMP EnumMatchingFilters(IEnumMoniker** ppEnum, DWORD dwFlags, BOOL bExactMatch, DWORD dwMerit,
                                   BOOL bInputNeeded, DWORD cInputTypes, const GUID* pInputTypes,
                                   const REGPINMEDIUM* pMedIn, const CLSID* pPinCategoryIn, BOOL bRender,
                                   BOOL bOutputNeeded, DWORD cOutputTypes, const GUID* pOutputTypes,
                                   const REGPINMEDIUM* pMedOut, const CLSID* pPinCategoryOut) override;

 private:
  friend class CRuntimeObject;
  CFilterMapper() = default;
  ~CFilterMapper() override = default;
};

namespace runtime {

// "CLSID\{category}\Instance", the key that holds a category's entries.
std::wstring CategoryInstanceKey(REFCLSID category);
// True when name can be one registry key name (not empty, no backslash, at most 255
// characters).
bool IsSingleKeyName(const std::wstring& name);

}  // namespace runtime
