#include "runtime/class_activation.h"

#include "runtime/filter_graph.h"
#include "runtime/system_clock.h"

namespace runtime {

const BuiltInClass* FindBuiltInClass(REFCLSID clsid) {
  static const BuiltInClass kClasses[] = {
      {&CLSID_FilterGraph, &CFilterGraph::CreateInstance},
      {&CLSID_SystemClock, &CSystemClock::CreateInstance},
  };
  for (const BuiltInClass& entry : kClasses)
    if (*entry.clsid == clsid) return &entry;
  return nullptr;
}

}  // namespace runtime

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  const runtime::BuiltInClass* entry = runtime::FindBuiltInClass(rclsid);
  if (entry == nullptr || (dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
  return entry->create(riid, ppv);
}
