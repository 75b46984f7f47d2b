#include "com/class_objects.h"

#include <new>

#include "com/class_factory.h"
#include "com/object_count.h"
#include "platform/com_ids.h"
#include "platform/com_types.h"

HRESULT GetClassObjectFrom(const CFactoryTemplate* templates, int templateCount, REFCLSID rclsid, REFIID riid,
                           void** ppv) {
  // A null out-pointer is refused rather than written through.
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
  for (int i = 0; i < templateCount; ++i) {
    if (!templates[i].IsClassID(rclsid)) continue;
    auto* factory = new (std::nothrow) CClassFactory(&templates[i]);
    if (factory == nullptr) return E_OUTOFMEMORY;
    factory->AddRef();  // The caller's reference (GetClassObject hands one over).
    *ppv = static_cast<IClassFactory*>(factory);
    return S_OK;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CanUnloadNow() { return g_cServerLocks.load() > 0 || g_cActiveObjects.load() != 0 ? S_FALSE : S_OK; }
