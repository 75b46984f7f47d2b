#include "runtime/inproc_server_table.h"

#include <atomic>
#include <new>

namespace {

using GetClassObjectEntry = HRESULT (*)(REFCLSID, REFIID, void**);
using CanUnloadNowEntry = HRESULT (*)();

std::atomic<CInprocServerTable*> g_table{nullptr};

}  // namespace

CInprocServerTable& CInprocServerTable::Instance() {
  // Never destroyed: modules stay loaded while static destructors of the process run,
  // since objects they made may still be released from them.
  static CInprocServerTable* table = [] {
    auto* made = new CInprocServerTable;
    g_table.store(made);
    return made;
  }();
  return *table;
}

CInprocServerTable* CInprocServerTable::Existing() { return g_table.load(); }

HRESULT CInprocServerTable::GetClassObject(const std::wstring& path, REFCLSID clsid, REFIID riid, void** ppv) {
  *ppv = nullptr;
  const CLockHolder<CRecursiveLock> hold(m_lock);
  auto found = m_modules.find(path);
  if (found == m_modules.end()) {
    // A module that cannot serve is not kept: it is unloaded again right here.
    auto module = std::make_unique<CSharedLibrary>();
    if (!module->Load(path)) return CO_E_DLLNOTFOUND;
    if (module->Symbol("DllGetClassObject") == nullptr) return CO_E_ERRORINDLL;
    found = m_modules.emplace(path, std::move(module)).first;
  }
  auto entry = reinterpret_cast<GetClassObjectEntry>(found->second->Symbol("DllGetClassObject"));
  const HRESULT hr = entry(clsid, riid, ppv);
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}

void CInprocServerTable::FreeUnused() {
  const CLockHolder<CRecursiveLock> hold(m_lock);
  for (auto it = m_modules.begin(); it != m_modules.end();) {
    auto canUnload = reinterpret_cast<CanUnloadNowEntry>(it->second->Symbol("DllCanUnloadNow"));
    if (canUnload != nullptr && canUnload() == S_OK)
      it = m_modules.erase(it);
    else
      ++it;
  }
}
