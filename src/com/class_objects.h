// The class objects a component server hands out, over its template table.
//
//   HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
//     return GetClassObjectFrom(templates, count, rclsid, riid, ppv);
//   }
//
// GetClassObjectFrom gives a class factory (IUnknown or IClassFactory only, checked first)
// for the template whose class identifier is rclsid; any other class identifier is
// CLASS_E_CLASSNOTAVAILABLE, a null ppv E_POINTER. CanUnloadNow answers DllCanUnloadNow:
// S_OK only while no object of the server is alive and the server is not locked.
// Threading: any thread after start-up.
#pragma once

#include "com/factory_template.h"
#include "platform/windows_types.h"

HRESULT GetClassObjectFrom(const CFactoryTemplate* templates, int templateCount, REFCLSID rclsid, REFIID riid,
                           void** ppv);
HRESULT CanUnloadNow();
