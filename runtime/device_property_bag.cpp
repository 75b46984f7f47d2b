#include "runtime/device_property_bag.h"

#include <vector>

#include "com/query_answer.h"
#include "platform/reg_key.h"
#include "runtime/filter_mapper.h"

CDevicePropertyBag::CDevicePropertyBag(REFCLSID category, const std::wstring& instance)
    : m_keyName(runtime::CategoryInstanceKey(category) + L"\\" + instance) {}

HRESULT CDevicePropertyBag::Create(REFCLSID category, const std::wstring& instance, REFIID riid, void** ppv) {
  return CreateAndQuery<CDevicePropertyBag>(riid, ppv, category, instance);
}

STDMETHODIMP CDevicePropertyBag::QueryInterface(REFIID riid, void** ppv) {
  return AnswerQuery(static_cast<IPropertyBag*>(this), riid, ppv, {IID_IUnknown, IID_IPropertyBag});
}

STDMETHODIMP CDevicePropertyBag::Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog*) {
  if (pszPropName == nullptr || pVar == nullptr) return E_POINTER;
  CRegKey key;
  LONG code = key.Open(HKEY_CLASSES_ROOT, m_keyName.c_str(), KEY_QUERY_VALUE);
  if (code != ERROR_SUCCESS) return HRESULT_FROM_WIN32(code);
  DWORD type = 0;
  std::vector<BYTE> raw;
  code = key.QueryValue(pszPropName, &type, &raw);
  if (code != ERROR_SUCCESS) return HRESULT_FROM_WIN32(code);
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    if (pVar->vt != VT_EMPTY && pVar->vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
    std::wstring text;
    code = key.QueryString(pszPropName, &text);
    if (code != ERROR_SUCCESS) return HRESULT_FROM_WIN32(code);
    BSTR value = SysAllocStringLen(text.c_str(), static_cast<UINT>(text.size()));
    if (value == nullptr) return E_OUTOFMEMORY;
    pVar->vt = VT_BSTR;
    pVar->bstrVal = value;
    return S_OK;
  }
  if (type == REG_DWORD) {
    if (pVar->vt != VT_EMPTY && pVar->vt != VT_I4) return DISP_E_TYPEMISMATCH;
    DWORD value = 0;
    code = key.QueryDword(pszPropName, &value);
    if (code != ERROR_SUCCESS) return HRESULT_FROM_WIN32(code);
    pVar->vt = VT_I4;
    pVar->lVal = static_cast<LONG>(value);
    return S_OK;
  }
  return E_NOTIMPL;
}

STDMETHODIMP CDevicePropertyBag::Write(LPCOLESTR, VARIANT*) { return E_FAIL; }
