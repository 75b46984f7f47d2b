#include "runtime/built_in_class_factory.h"

HRESULT CBuiltInClassFactory::Create(runtime::ClassCreator create, REFIID riid, void** ppv) {
  return CreateAndQuery<CBuiltInClassFactory>(riid, ppv, create);
}

STDMETHODIMP CBuiltInClassFactory::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IClassFactory) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();  // The caller's reference (QueryInterface hands one over).
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP CBuiltInClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
  return m_create(riid, ppv);
}

STDMETHODIMP CBuiltInClassFactory::LockServer(BOOL) { return S_OK; }
