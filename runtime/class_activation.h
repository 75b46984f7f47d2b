// Class activation for Linux: CoCreateInstance, CoGetClassObject and
// CoFreeUnusedLibraries, declared with the Windows signatures in platform/com_types.h,
// are defined here.
//
// The classes the system itself provides on Windows are built in: CLSID_FilterGraph
// (CFilterGraph), CLSID_SystemClock (CSystemClock), CLSID_FilterMapper2 (CFilterMapper)
// and CLSID_SystemDeviceEnum (CSystemDeviceEnum), in-process servers without
// aggregation. Every other class is looked up in the registry as Windows does: the
// default value of HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 names the module, which
// CInprocServerTable loads and asks through its exported DllGetClassObject.
//
// CoCreateInstance and CoGetClassObject answer
//   E_POINTER              ppv is null;
//   REGDB_E_CLASSNOTREG    the class is neither built in nor registered (no class key or
//                          no InprocServer32 key), or not asked for as an in-process
//                          server (dwClsContext without CLSCTX_INPROC_SERVER);
//   CO_E_DLLNOTFOUND       the InprocServer32 key names no module (value missing, empty
//                          or not a string) or the module cannot be loaded;
//   CO_E_ERRORINDLL        the module does not export DllGetClassObject;
//   CLASS_E_NOAGGREGATION  pUnkOuter is not null for a built-in class;
//   E_NOINTERFACE          the object does not answer riid;
// and whatever a registered module's DllGetClassObject, IClassFactory::CreateInstance
// (which receives pUnkOuter unchanged) returns. *ppv is null whenever they fail. The
// registry values are read at every call and trusted for nothing but a path to load.
// Thread-safe.
#pragma once

#include "platform/dshow_types.h"

namespace runtime {

// Creates an object of a built-in class and queries riid from it.
using ClassCreator = HRESULT (*)(REFIID riid, void** ppv);

struct BuiltInClass {
  const CLSID* clsid;
  ClassCreator create;
};

// The built-in class with this identifier, or null.
const BuiltInClass* FindBuiltInClass(REFCLSID clsid);

}  // namespace runtime
