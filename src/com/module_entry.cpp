#include "com/module_entry.h"

#include "platform/module_loader.h"

HINSTANCE g_hInst = nullptr;
DWORD g_amPlatform = 0;

BOOL DllEntryPoint(HINSTANCE hInstance, DWORD reason, void* /*reserved*/, const CFactoryTemplate* templates,
                   int templateCount) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      platform::DisableThreadLibraryCalls(hInstance);
      g_hInst = hInstance;
      g_amPlatform = platform::GetPlatformId();
      for (int i = 0; i < templateCount; ++i)
        if (templates[i].m_lpfnInit != nullptr) templates[i].m_lpfnInit(TRUE, templates[i].m_ClsID);
      break;
    case DLL_PROCESS_DETACH:
      for (int i = 0; i < templateCount; ++i)
        if (templates[i].m_lpfnInit != nullptr) templates[i].m_lpfnInit(FALSE, templates[i].m_ClsID);
      break;
    default:
      break;
  }
  return TRUE;
}
