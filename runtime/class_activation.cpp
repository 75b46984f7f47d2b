#include "runtime/class_activation.h"

#include <string>

#include "com/com_ptr.h"
#include "platform/guid.h"
#include "platform/reg_key.h"
#include "runtime/built_in_class_factory.h"
#include "runtime/device_enumerator.h"
#include "runtime/filter_graph.h"
#include "runtime/filter_mapper.h"
#include "runtime/inproc_server_table.h"
#include "runtime/system_clock.h"

namespace runtime {

const BuiltInClass* FindBuiltInClass(REFCLSID clsid) {
  static const BuiltInClass kClasses[] = {
      {&CLSID_FilterGraph, &CFilterGraph::CreateInstance},
      {&CLSID_SystemClock, &CSystemClock::CreateInstance},
      {&CLSID_FilterMapper2, &CFilterMapper::CreateInstance},
      {&CLSID_SystemDeviceEnum, &CSystemDeviceEnum::CreateInstance},
  };
  for (const BuiltInClass& entry : kClasses)
    if (*entry.clsid == clsid) return &entry;
  return nullptr;
}

}  // namespace runtime

namespace {

// The module path registered for clsid, or the failure to report.
HRESULT RegisteredServerPath(REFCLSID clsid, std::wstring* path) {
  const std::wstring keyName = L"CLSID\\" + platform::GuidToRegistryString(clsid) + L"\\InprocServer32";
  CRegKey key;
  if (key.Open(HKEY_CLASSES_ROOT, keyName.c_str(), KEY_QUERY_VALUE) != ERROR_SUCCESS) return REGDB_E_CLASSNOTREG;
  if (key.QueryString(nullptr, path) != ERROR_SUCCESS || path->empty()) return CO_E_DLLNOTFOUND;
  return S_OK;
}

}  // namespace

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void*, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  if (const runtime::BuiltInClass* entry = runtime::FindBuiltInClass(rclsid))
    return CBuiltInClassFactory::Create(entry->create, riid, ppv);
  std::wstring path;
  const HRESULT hr = RegisteredServerPath(rclsid, &path);
  if (FAILED(hr)) return hr;
  return CInprocServerTable::Instance().GetClassObject(path, rclsid, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  if (const runtime::BuiltInClass* entry = runtime::FindBuiltInClass(rclsid)) {
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    return entry->create(riid, ppv);
  }
  CComPtr<IClassFactory> factory;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, factory.ReceiveVoid());
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  // A server that fails must not hand anything out; never pass its leftovers on.
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}

void CoFreeUnusedLibraries() {
  if (CInprocServerTable* table = CInprocServerTable::Existing()) table->FreeUnused();
}
