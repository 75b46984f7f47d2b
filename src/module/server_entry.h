// The component-server entry points behind the module's exports.
//
//   HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
//     return GetClassObject(rclsid, riid, ppv);
//   }
//
// GetClassObject answers DllGetClassObject: a class factory (IUnknown or IClassFactory
// only, checked first) for the camera's class identifier fixed at start-up; any other
// class identifier is CLASS_E_CLASSNOTAVAILABLE.
// CanUnloadNow answers DllCanUnloadNow: S_OK only while no framework object is alive and
// the server is not locked.
// RegisterServer/UnregisterServer answer DllRegisterServer/DllUnregisterServer: the class
// keys, then the camera's entry in the video input device category through the system's
// filter mapper, keyed by the friendly name. The caller initialises the component runtime
// on its thread (the mapper cannot be created otherwise, and that failure is returned).
// A copy whose custom-source entry gives a class identifier that does not parse refuses
// both (SELFREG_E_CLASS, and a level-0 log line naming the entry) and changes nothing.
// All may be called on any thread after start-up.
#pragma once

#include "com/class_objects.h"
#include "platform/windows_types.h"

HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
HRESULT RegisterServer();
HRESULT UnregisterServer();
