// CClassFactory: the IClassFactory that DllGetClassObject hands out for the camera's
// class. It creates objects through one entry of the module's template table.
//
//   CComPtr<IClassFactory> factory;
//   DllGetClassObject(clsid, IID_IClassFactory, factory.ReceiveVoid());
//   CComPtr<IBaseFilter> camera;
//   factory->CreateInstance(nullptr, IID_IBaseFilter, camera.ReceiveVoid());
//
// CreateInstance refuses aggregation unless the inner unknown itself is asked for, drops
// an object whose construction reported a failure, and hands out the requested interface
// with the object's first reference (a failed query destroys the object). LockServer
// keeps the module loaded (DllCanUnloadNow answers S_FALSE while locked).
//
// Ownership: reference-counted (count starts at 0; DllGetClassObject takes the first).
// The factory counts among the module's live objects for its whole life. The template is
// module data and outlives it. Threading: any thread; counts change atomically.
#pragma once

#include <atomic>

#include "com/base_object.h"
#include "com/factory_template.h"
#include "platform/com_types.h"

class CClassFactory final : public IClassFactory, public CBaseObject {
 public:
  explicit CClassFactory(const CFactoryTemplate* pTemplate);

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
  STDMETHODIMP LockServer(BOOL fLock) override;

 private:
  std::atomic<LONG> m_cRef{0};
  const CFactoryTemplate* const m_pTemplate;
};
