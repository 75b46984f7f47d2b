#include "com/server_startup.h"

#include "channel/channel_name.h"
#include "channel/frame_region.h"
#include "com/module_entry.h"
#include "diagnostics/log_file.h"
#include "diagnostics/log_settings.h"
#include "diagnostics/trace_scope.h"
#include "diagnostics/version.h"
#include "identity/camera_identity.h"
#include "platform/named_object_folder.h"
#include "platform/paths.h"
#include "platform/wide_string.h"

namespace {

void StartModule(CameraIdentity (*lookUp)(const std::wstring&)) {
  ConfigureLogFromSettings(g_Log);

  CTraceScope scope(0, L"DllMain()");
  g_bCustomSourceFound = false;
  std::wstring modulePath = platform::GetModulePath(g_hModule);
  if (modulePath.size() > MAX_PATH - 1) modulePath.resize(MAX_PATH - 1);
  g_Log.Write(0, L"Module name = %s (Amberline %s)\n", modulePath.c_str(),
              platform::Utf8ToWide(AmberlineVersion()).c_str());

  SetCameraIdentity(lookUp(modulePath));
  g_Log.Write(0, L"My name = %s\n", g_pFilterName);
  const std::wstring ownChannel = channel::ProcessChannel();
  g_Log.Write(0, L"My channel = %s (objects named %s...)\n",
              ownChannel.empty() ? L"the default one" : (L"\"" + ownChannel + L"\"").c_str(),
              channel::ObjectName(L"Trelvox_FileMapping").c_str());
  // Where the objects are files (Linux), and what keeps them from being made there.
  if (const std::string folder = platform::NamedObjectFolder(); !folder.empty())
    g_Log.Write(0, L"Channel objects folder = %s\n", platform::Utf8ToWide(folder).c_str());
  if (const std::string problem = platform::NamedObjectProblem(); !problem.empty())
    g_Log.Write(0, L"The channel cannot be opened: %s\n", platform::Utf8ToWide(problem).c_str());
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
