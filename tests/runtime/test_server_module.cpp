// A small in-process server for the class activation suites, built twice: as
// amberline_test_server, which serves kTestServerClass, and (with
// AMBERLINE_TEST_SERVER_WITHOUT_FACTORY) as amberline_test_server_plain, which exports
// DllCanUnloadNow but no DllGetClassObject.
//
// The object answers IUnknown, IPersist and IPersistPropertyBag: Load keeps the
// "FriendlyName" the bag gives, Save writes it back into another bag, so a test sees what
// a moniker handed over through Windows interfaces alone. It refuses aggregation.
// DllCanUnloadNow answers S_OK while no factory, object or server lock is alive.
#include <atomic>
#include <new>

#include "platform/dshow_types.h"
#include "platform/module_export.h"
#include "support/test_server_class.h"

namespace {

std::atomic<long> g_cLive{0};

class CPersistedObject final : public IPersistPropertyBag {
 public:
  CPersistedObject() { ++g_cLive; }
  ~CPersistedObject() {
    if (m_name != nullptr) SysFreeString(m_name);
    --g_cLive;
  }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IPersistPropertyBag) {
      *ppv = static_cast<IPersistPropertyBag*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_cRef; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --m_cRef;
    if (left == 0) delete this;
    return left;
  }

  STDMETHODIMP GetClassID(CLSID* pClassID) override {
    if (pClassID == nullptr) return E_POINTER;
    *pClassID = testing_support::kTestServerClass;
    return S_OK;
  }
  STDMETHODIMP InitNew() override { return S_OK; }
  STDMETHODIMP Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) override {
    if (pPropBag == nullptr) return E_POINTER;
    VARIANT name;
    VariantInit(&name);
    name.vt = VT_BSTR;
    const HRESULT hr = pPropBag->Read(L"FriendlyName", &name, pErrorLog);
    if (FAILED(hr)) return hr;
    if (m_name != nullptr) SysFreeString(m_name);
    m_name = name.bstrVal;
    return S_OK;
  }
  STDMETHODIMP Save(IPropertyBag* pPropBag, BOOL, BOOL) override {
    if (pPropBag == nullptr) return E_POINTER;
    VARIANT name;
    VariantInit(&name);
    name.vt = VT_BSTR;
    name.bstrVal = m_name;
    return pPropBag->Write(L"FriendlyName", &name);
  }

 private:
  std::atomic<ULONG> m_cRef{1};
  BSTR m_name = nullptr;
};

class CTestFactory final : public IClassFactory {
 public:
  CTestFactory() { ++g_cLive; }
  ~CTestFactory() { --g_cLive; }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_cRef; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --m_cRef;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) CPersistedObject;
    if (object == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL fLock) override {
    g_cLive += fLock ? 1 : -1;
    return S_OK;
  }

 private:
  std::atomic<ULONG> m_cRef{1};
};

}  // namespace

#ifndef AMBERLINE_TEST_SERVER_WITHOUT_FACTORY
AMBERLINE_EXPORT HRESULT AMBERLINE_STDAPI_CALL DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != testing_support::kTestServerClass) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new (std::nothrow) CTestFactory;
  if (factory == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}
#endif

AMBERLINE_EXPORT HRESULT AMBERLINE_STDAPI_CALL DllCanUnloadNow() { return g_cLive.load() == 0 ? S_OK : S_FALSE; }
