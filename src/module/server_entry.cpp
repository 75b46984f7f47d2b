#include "module/server_entry.h"

#include "framework/object_count.h"
#include "platform/com_ids.h"

HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  // A null out-pointer is refused rather than written through.
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
  // The camera's template has no create function until the camera filter exists, so no
  // class identifier, the camera's included, has a factory to hand out.
  (void)rclsid;
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CanUnloadNow() { return g_cServerLocks.load() > 0 || g_cActiveObjects.load() != 0 ? S_FALSE : S_OK; }

// Registration writes the class keys and the video-input category entry of the camera
// filter; it arrives together with the filter and its class factory.
HRESULT RegisterServer() { return E_NOTIMPL; }
HRESULT UnregisterServer() { return E_NOTIMPL; }
