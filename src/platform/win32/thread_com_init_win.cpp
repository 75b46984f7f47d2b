#include "platform/thread_com_init.h"

#include <objbase.h>
#include <windows.h>

namespace {

using CoInitializeExFunction = HRESULT(WINAPI*)(LPVOID, DWORD);
using CoUninitializeFunction = void(WINAPI*)();

template <typename Function>
Function LookUpOle32(const char* name) {
  const HMODULE ole32 = GetModuleHandleW(L"ole32.dll");
  if (ole32 == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(ole32, name)));
}

}  // namespace

HRESULT InitializeThreadComponentRuntime() {
  const auto initialize = LookUpOle32<CoInitializeExFunction>("CoInitializeEx");
  if (initialize == nullptr) return E_FAIL;
  return initialize(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE);
}

void UninitializeThreadComponentRuntime() {
  const auto uninitialize = LookUpOle32<CoUninitializeFunction>("CoUninitialize");
  if (uninitialize != nullptr) uninitialize();
}
