// The module's exported entry points. Only this file (and the system's load hooks)
// belongs to the module binary itself; everything it calls lives in the libraries.
#include "module/module_startup.h"
#include "module/server_entry.h"
#include "platform/module_export.h"

AMBERLINE_EXPORT BOOL AMBERLINE_STDAPI_CALL DllMain(HINSTANCE hModule, DWORD reason, void* reserved) {
  return ModuleMain(hModule, reason, reserved);
}

AMBERLINE_EXPORT HRESULT AMBERLINE_STDAPI_CALL DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  return GetClassObject(rclsid, riid, ppv);
}

AMBERLINE_EXPORT HRESULT AMBERLINE_STDAPI_CALL DllCanUnloadNow() { return CanUnloadNow(); }

AMBERLINE_EXPORT HRESULT AMBERLINE_STDAPI_CALL DllRegisterServer() { return RegisterServer(); }

AMBERLINE_EXPORT HRESULT AMBERLINE_STDAPI_CALL DllUnregisterServer() { return UnregisterServer(); }
