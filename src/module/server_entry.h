// The component-server entry points behind the module's exports.
//
// GetClassObject answers DllGetClassObject: only IUnknown and IClassFactory are offered,
// and only for the camera's class identifier (fixed at start-up). The camera filter's
// class factory comes with the filter; until then no class of the table can be created
// and every request ends in CLASS_E_CLASSNOTAVAILABLE.
// CanUnloadNow answers DllCanUnloadNow: S_OK only while no framework object is alive and
// the server is not locked.
// RegisterServer/UnregisterServer answer DllRegisterServer/DllUnregisterServer.
// All may be called on any thread after start-up.
#pragma once

#include "platform/windows_types.h"

HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
HRESULT CanUnloadNow();
HRESULT RegisterServer();
HRESULT UnregisterServer();
