// CInprocServerTable: the in-process server modules that class activation loaded, one
// table per process.
//
// A module is loaded the first time a class registered with its path is asked for and
// stays loaded until CoFreeUnusedLibraries (FreeUnused) finds that its exported
// DllCanUnloadNow answers S_OK; a module without that export stays for the life of the
// process, and one without DllGetClassObject is unloaded at once. Modules are keyed by
// the path text as registered: two spellings of one file are two entries, each holding
// its own reference on the one loaded module.
//
// GetClassObject answers CO_E_DLLNOTFOUND when the module cannot be loaded,
// CO_E_ERRORINDLL when it does not export DllGetClassObject, and otherwise what
// DllGetClassObject returns (*ppv null on failure).
//
// Threading: any thread. One re-entrant lock is held while a module is loaded, while its
// DllGetClassObject runs and while FreeUnused asks DllCanUnloadNow and unloads, so a
// module is never unloaded between handing out a class object and counting it. A
// module's entry points may call class activation again on the same thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/annotated_lock.h"
#include "platform/dshow_types.h"
#include "platform/shared_library.h"

class CInprocServerTable {
 public:
  static CInprocServerTable& Instance();
  // The table if class activation has made it, else null (then no module was loaded and
  // none needs unloading). Asking never makes one: a module that carries its own copy of
  // this runtime and only unloads must not leave a table behind when it is unloaded.
  static CInprocServerTable* Existing();

  HRESULT GetClassObject(const std::wstring& path, REFCLSID clsid, REFIID riid, void** ppv);
  // Unloads every module whose DllCanUnloadNow answers S_OK.
  void FreeUnused();

 private:
  CInprocServerTable() = default;

  CRecursiveLock m_lock;
  std::map<std::wstring, std::unique_ptr<CSharedLibrary>> m_modules GUARDED_BY(m_lock);
};
