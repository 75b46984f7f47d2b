// Runs the module's entry point as the Windows loader would: DllMain with process
// attach when the shared library is loaded, with process detach when it is unloaded.
// Part of the module binary only. Everything DllMain touches at attach is
// constant-initialised or built on first use, so the order of this constructor among
// the library's static initialisers does not matter.
#include "platform/module_export.h"
#include "platform/paths.h"
#include "platform/windows_types.h"

AMBERLINE_EXPORT BOOL AMBERLINE_STDAPI_CALL DllMain(HINSTANCE hModule, DWORD reason, void* reserved);

namespace {

HMODULE ThisModule() {
  static const char marker = 0;
  return platform::ModuleHandleFromAddress(&marker);
}

__attribute__((constructor)) void OnModuleLoad() { DllMain(ThisModule(), DLL_PROCESS_ATTACH, nullptr); }

__attribute__((destructor)) void OnModuleUnload() { DllMain(ThisModule(), DLL_PROCESS_DETACH, nullptr); }

}  // namespace
