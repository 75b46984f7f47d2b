#include "mfsource/mf_server.h"

#include "diagnostics/log_file.h"
#include "identity/camera_identity.h"
#include "mfsource/mf_activate.h"
#include "com/class_objects.h"
#include "com/server_keys.h"
#include "com/server_startup.h"
#include "composer/image.h"
#include "platform/guid.h"
#include "platform/paths.h"
#include "platform/system_error.h"

namespace {

// Name and class identifier are filled in at start-up from the camera identity.
CFactoryTemplate g_MfTemplates[] = {
    {nullptr, nullptr, CMfActivate::CreateInstance, nullptr, nullptr},
};
constexpr int kMfTemplateCount = sizeof(g_MfTemplates) / sizeof(g_MfTemplates[0]);

// The self-registration failure for a class that cannot be registered (SELFREG_E_CLASS).
constexpr HRESULT kClassNotRegistrable = static_cast<HRESULT>(0x80040201u);

bool RefusedForUnusableClassId(const wchar_t* action) {
  const WCHAR* entry = UnparsableClsidEntry();
  if (entry == nullptr || entry[0] == L'\0') return false;
  g_Log.Write(0,
              L"Not %s: the custom source entry %s names this module without an MFCLSID value of its own "
              L"(a class identifier that neither built-in camera nor the entry's CLSID uses).\n",
              action, entry);
  return true;
}

}  // namespace

BOOL MfModuleMain(HINSTANCE hModule, DWORD reason, void* reserved) {
  if (reason == DLL_PROCESS_ATTACH) SilenceImageLibraryErrors();
  return StartModuleWith(hModule, reason, reserved, LookUpMfCameraIdentity, CLSID_AmberlineMf, g_MfTemplates,
                         kMfTemplateCount);
}

HRESULT MfGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  return GetClassObjectFrom(g_MfTemplates, kMfTemplateCount, rclsid, riid, ppv);
}

std::wstring MfClassKeyName(REFCLSID clsid) {
  return L"Software\\Classes\\CLSID\\" + platform::GuidToRegistryString(clsid);
}

HRESULT MfRegisterServer() {
  if (RefusedForUnusableClassId(L"registered") || RefusedForBadChannel()) return kClassNotRegistrable;
  if (g_pFilterClsid == nullptr) return E_UNEXPECTED;
  const std::wstring path = platform::GetModulePath(g_hModule);
  if (path.empty()) {
    const DWORD error = platform::GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
  }
  return WriteServerKeys(HKEY_LOCAL_MACHINE, MfClassKeyName(*g_pFilterClsid), g_pFilterName, path, L"Both",
                         L"InprocServer32");
}

HRESULT MfUnregisterServer() {
  if (RefusedForUnusableClassId(L"unregistered")) return kClassNotRegistrable;
  if (g_pFilterClsid == nullptr) return E_UNEXPECTED;
  return DeleteKeyTree(HKEY_LOCAL_MACHINE, MfClassKeyName(*g_pFilterClsid).c_str());
}
