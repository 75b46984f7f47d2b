// CDevicePropertyBag: the read-only property bag of one device category entry (the key
// HKEY_CLASSES_ROOT\CLSID\{category}\Instance\{instance}); its properties are the key's
// values.
//
// Read gives a string value (REG_SZ, REG_EXPAND_SZ unexpanded) as VT_BSTR and a
// REG_DWORD as VT_I4, when the caller's variant asks for that type or for VT_EMPTY
// (another requested type: DISP_E_TYPEMISMATCH). A missing key or value answers
// HRESULT_FROM_WIN32 of the registry's code (ERROR_FILE_NOT_FOUND), a string value
// that is not terminated HRESULT_FROM_WIN32(ERROR_INVALID_DATA), and values of other
// types (binary data such as "FilterData") E_NOTIMPL, because no array variant exists
// here. The variant is written only on success; its previous contents are not freed
// (the caller passes it empty, as for every property bag). Write answers E_FAIL.
//
// The registry is read at every call. Ownership: reference counted. Threading: any
// thread; only constant state.
#pragma once

#include <string>

#include "platform/dshow_types.h"
#include "runtime/runtime_object.h"

class CDevicePropertyBag final : public IPropertyBag, private CRuntimeObject {
 public:
  static HRESULT Create(REFCLSID category, const std::wstring& instance, REFIID riid, void** ppv);

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return AddRefObject(); }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseObject(); }

  STDMETHODIMP Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog* pErrorLog) override;
  STDMETHODIMP Write(LPCOLESTR pszPropName, VARIANT* pVar) override;

 private:
  friend class CRuntimeObject;
  CDevicePropertyBag(REFCLSID category, const std::wstring& instance);
  ~CDevicePropertyBag() override = default;

  const std::wstring m_keyName;
};
