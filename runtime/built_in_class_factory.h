// CBuiltInClassFactory: the class object CoGetClassObject hands out for a built-in class.
//
// CreateInstance refuses aggregation (CLASS_E_NOAGGREGATION) and otherwise creates the
// object exactly as CoCreateInstance does; LockServer only answers S_OK, because the
// runtime is linked into the process and never unloads.
//
// Ownership: reference counted. Threading: any thread; it has no state but its creator.
#pragma once

#include "platform/dshow_types.h"
#include "runtime/class_activation.h"
#include "runtime/runtime_object.h"

class CBuiltInClassFactory final : public IClassFactory, private CRuntimeObject {
 public:
  // Creates a factory for create and queries riid from it.
  static HRESULT Create(runtime::ClassCreator create, REFIID riid, void** ppv);

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return AddRefObject(); }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseObject(); }

  STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
  STDMETHODIMP LockServer(BOOL fLock) override;

 private:
  friend class CRuntimeObject;
  explicit CBuiltInClassFactory(runtime::ClassCreator create) : m_create(create) {}
  ~CBuiltInClassFactory() override = default;

  const runtime::ClassCreator m_create;
};
