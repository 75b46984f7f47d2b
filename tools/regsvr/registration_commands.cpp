// Registering and unregistering a module through its own entry points.
#include <cstdio>

#include "camera_registry.h"
#include "failure_text.h"
#include "module_server.h"
#include "platform/guid.h"
#include "platform/reg_key.h"
#include "platform/wide_string.h"
#include "regsvr_commands.h"

namespace regsvr {

namespace {

std::string Utf8(const std::wstring& text) { return platform::WideToUtf8(text); }

std::string CameraText(const CameraIdentity& identity) {
  return "camera \"" + Utf8(identity.name) + "\" " + Utf8(platform::GuidToRegistryString(identity.clsid));
}

std::string InfoAdvice(const CModuleServer& server) {
  return "amberline-regsvr --info " + server.Path() + " shows which camera it is and what its start-up logged.";
}

// Whether the loaded module exports entry; prints why not.
bool Exports(const CModuleServer& server, const char* entry) {
  if (server.Exports(entry)) return true;
  std::fprintf(stderr,
               "amberline-regsvr: %s does not export %s: it is not a module that registers itself.\n"
               "  Name the camera module of an installation (Bin/%s).\n",
               server.Path().c_str(), entry, AMBERLINE_MODULE_FILE_NAME);
  return false;
}

}  // namespace

int Register(const std::string& module, bool silent) {
  CModuleServer server;
  if (!server.Load(module)) {
    PrintLoadFailure(server.Path(), server.LoadError());
    return 1;
  }
  if (!Exports(server, "DllRegisterServer")) return 1;
  const HRESULT hr = server.CallRegistration("DllRegisterServer");
  if (FAILED(hr)) {
    PrintFailure("DllRegisterServer in " + server.Path(), hr, InfoAdvice(server));
    return 1;
  }
  if (!silent)
    std::printf("DllRegisterServer in %s succeeded: %s.\n", server.Path().c_str(), CameraText(server.Identity()).c_str());
  return 0;
}

int Unregister(const std::string& module, bool silent) {
  CModuleServer server;
  if (!server.Load(module)) {
    // Files deleted before unregistering: what names them can still be removed.
    if (CCameraRegistry::FileIsGone(platform::Utf8ToWide(server.Path()))) {
      if (!silent) std::printf("%s does not exist; removing the registrations that name it.\n", server.Path().c_str());
      return RemoveStaleRegistrations(platform::Utf8ToWide(server.Path()), silent);
    }
    PrintLoadFailure(server.Path(), server.LoadError());
    return 1;
  }
  if (!Exports(server, "DllUnregisterServer")) return 1;

  const CameraIdentity& identity = server.Identity();
  const bool classKeyBefore = CCameraRegistry::ClassKeyExists(identity.clsid);
  const bool entryBefore = CCameraRegistry::CategoryEntryExists(identity.name);
  const HRESULT hr = server.CallRegistration("DllUnregisterServer");
  // The filter mapper answers "not found" for a category entry that is not there: what
  // was to be removed is gone, which is what unregistering asks for.
  // A registry file that does not parse may hide the entry: that is not "not registered".
  if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) && !entryBefore && platform::RegistryFileProblems().empty()) {
    if (!silent) {
      if (classKeyBefore)
        std::printf("DllUnregisterServer in %s succeeded: %s; its class key is removed, its video input entry was "
                    "already gone.\n",
                    server.Path().c_str(), CameraText(identity).c_str());
      else
        std::printf("%s (%s) was not registered: nothing to remove.\n", server.Path().c_str(),
                    CameraText(identity).c_str());
    }
    return 0;
  }
  if (FAILED(hr)) {
    PrintFailure("DllUnregisterServer in " + server.Path(), hr, InfoAdvice(server));
    return 1;
  }
  if (!silent)
    std::printf("DllUnregisterServer in %s succeeded: %s.\n", server.Path().c_str(), CameraText(identity).c_str());
  return 0;
}

}  // namespace regsvr
