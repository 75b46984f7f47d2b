#include "com/class_factory.h"

#include "com/com_ptr.h"
#include "com/object_count.h"
#include "com/unknown.h"
#include "platform/com_ids.h"

CClassFactory::CClassFactory(const CFactoryTemplate* pTemplate) : CBaseObject(L"class factory"), m_pTemplate(pTemplate) {}

STDMETHODIMP CClassFactory::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();  // The caller's reference (QueryInterface hands one over).
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CClassFactory::AddRef() { return static_cast<ULONG>(m_cRef.fetch_add(1) + 1); }

STDMETHODIMP_(ULONG) CClassFactory::Release() {
  const LONG count = m_cRef.fetch_sub(1) - 1;
  if (count == 0) delete this;
  return static_cast<ULONG>(count > 0 ? count : 0);
}

STDMETHODIMP CClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  // An aggregating outer object may ask for the inner unknown only.
  if (pUnkOuter != nullptr && !IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;
  if (m_pTemplate == nullptr || m_pTemplate->m_lpfnNew == nullptr) return E_OUTOFMEMORY;

  HRESULT hr = S_OK;
  CUnknown* object = m_pTemplate->m_lpfnNew(pUnkOuter, &hr);
  if (object == nullptr) return FAILED(hr) ? hr : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    delete object;
    return hr;
  }
  // Held while it is asked, so that a refused query destroys the new object.
  const CComPtr<IUnknown> inner(object->NonDelegatingUnknown(), kAddRef);
  return inner->QueryInterface(riid, ppv);
}

STDMETHODIMP CClassFactory::LockServer(BOOL fLock) {
  if (fLock) {
    g_cServerLocks.fetch_add(1);
  } else {
    g_cServerLocks.fetch_sub(1);
  }
  return S_OK;
}
