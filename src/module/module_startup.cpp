#include "module/module_startup.h"

#include <opencv2/core/utility.hpp>

#include "diagnostics/log_file.h"
#include "diagnostics/log_settings.h"
#include "diagnostics/trace_scope.h"
#include "framework/module_entry.h"
#include "identity/camera_identity.h"
#include "module/factory_templates.h"
#include "platform/paths.h"

namespace {

// Image operation failures come back as results (caught exceptions), never as text on
// the host's error stream.
int SilentImageErrorHandler(int, const char*, const char*, const char*, int, void*) { return 0; }

void StartModule(CameraIdentity (*lookUp)(const std::wstring&)) {
  cv::redirectError(SilentImageErrorHandler);
  ConfigureLogFromSettings(g_Log);

  CTraceScope scope(0, L"DllMain()");
  g_bCustomSourceFound = false;
  std::wstring modulePath = platform::GetModulePath(g_hModule);
  if (modulePath.size() > MAX_PATH - 1) modulePath.resize(MAX_PATH - 1);
  g_Log.Write(0, L"Module name = %s\n", modulePath.c_str());

  SetCameraIdentity(lookUp(modulePath));
  g_Log.Write(0, L"My name = %s\n", g_pFilterName);
}

}  // namespace

BOOL StartModuleWith(HINSTANCE hModule, DWORD reason, void* reserved, CameraIdentity (*lookUp)(const std::wstring&),
                     const CLSID& builtInClsid, CFactoryTemplate* templates, int templateCount) {
  g_hModule = hModule;
  if (reason == DLL_PROCESS_ATTACH) {
    try {
      StartModule(lookUp);
    } catch (...) {
      // Start-up must not fail the load: out of memory while formatting a line is the
      // only way here, and the built-in identity below still holds.
    }
    if (g_pFilterName == nullptr) SetCameraIdentity(CameraIdentity{kBuiltInFilterName, builtInClsid, false, {}});
    templates[0].m_Name = g_pFilterName;
    templates[0].m_ClsID = g_pFilterClsid;
  }
  return DllEntryPoint(hModule, reason, reserved, templates, templateCount);
}

BOOL ModuleMain(HINSTANCE hModule, DWORD reason, void* reserved) {
  return StartModuleWith(hModule, reason, reserved, LookUpCameraIdentity, CLSID_Amberline, g_Templates, g_cTemplates);
}
