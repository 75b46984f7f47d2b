#include "module/module_startup.h"

#include "com/server_startup.h"
#include "composer/image.h"
#include "identity/camera_identity.h"
#include "module/factory_templates.h"

BOOL ModuleMain(HINSTANCE hModule, DWORD reason, void* reserved) {
  if (reason == DLL_PROCESS_ATTACH) SilenceImageLibraryErrors();
  return StartModuleWith(hModule, reason, reserved, LookUpCameraIdentity, CLSID_Amberline, g_Templates, g_cTemplates);
}
