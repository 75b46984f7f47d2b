#include "com/unknown.h"

#include <algorithm>

CUnknown::CUnknown(const WCHAR* pName, IUnknown* pUnk)
    : CBaseObject(pName), m_pUnknown(pUnk != nullptr ? pUnk : static_cast<IUnknown*>(&m_self)) {}

CUnknown::CUnknown(const WCHAR* pName, IUnknown* pUnk, HRESULT* /*phr*/) : CUnknown(pName, pUnk) {}

CUnknown::~CUnknown() = default;

STDMETHODIMP CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown)) return GetInterface(NonDelegatingUnknown(), ppv);
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef() {
  const LONG count = m_cRef.fetch_add(1) + 1;
  return static_cast<ULONG>(std::max<LONG>(count, 1));
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease() {
  const LONG count = m_cRef.fetch_sub(1) - 1;
  if (count != 0) return static_cast<ULONG>(std::max<LONG>(count, 1));
  // Back to 1 so that a reference taken and dropped while the destructor runs cannot
  // bring the count to 0 a second time.
  m_cRef.store(1);
  delete this;
  return 0;
}

HRESULT GetInterface(IUnknown* pUnk, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = pUnk;
  pUnk->AddRef();
  return S_OK;
}
