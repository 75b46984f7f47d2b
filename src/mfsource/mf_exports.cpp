// amberline-mf.dll's exported entry points. Only this file belongs to the module binary
// itself; everything it calls lives in the libraries.
#include "mfsource/mf_server.h"
#include "com/class_objects.h"
#include "platform/module_export.h"

AMBERLINE_EXPORT BOOL AMBERLINE_STDAPI_CALL DllMain(HINSTANCE hModule, DWORD reason, void* reserved) {
  return MfModuleMain(hModule, reason, reserved);
}

AMBERLINE_EXPORT HRESULT AMBERLINE_STDAPI_CALL DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  return MfGetClassObject(rclsid, riid, ppv);
}

AMBERLINE_EXPORT HRESULT AMBERLINE_STDAPI_CALL DllCanUnloadNow() { return CanUnloadNow(); }

AMBERLINE_EXPORT HRESULT AMBERLINE_STDAPI_CALL DllRegisterServer() { return MfRegisterServer(); }

AMBERLINE_EXPORT HRESULT AMBERLINE_STDAPI_CALL DllUnregisterServer() { return MfUnregisterServer(); }
