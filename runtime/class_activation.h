// Class activation for Linux: CoCreateInstance, declared with the Windows signature in
// platform/com_types.h, is defined here.
//
// The classes the system itself provides on Windows are built in: CLSID_FilterGraph
// (CFilterGraph) and CLSID_SystemClock (CSystemClock), in-process servers without
// aggregation. CoCreateInstance answers
//   E_POINTER              ppv is null;
//   REGDB_E_CLASSNOTREG    the class is not known, or not asked for as an in-process
//                          server (dwClsContext without CLSCTX_INPROC_SERVER);
//   CLASS_E_NOAGGREGATION  pUnkOuter is not null;
//   E_NOINTERFACE          the object does not answer riid;
// and *ppv is null whenever it fails. Stateless and thread-safe.
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
