// --list and --prune, and the clean-up of an unregistration whose module file is gone.
#include <cstdio>
#include <string>
#include <vector>

#include "camera_registry.h"
#include "failure_text.h"
#include "identity/custom_sources.h"
#include "platform/wide_string.h"
#include "regsvr_commands.h"

namespace regsvr {

namespace {

std::string Utf8(const std::wstring& text) { return platform::WideToUtf8(text); }

CCameraRegistry Registry() { return CCameraRegistry(platform::Utf8ToWide(AMBERLINE_MODULE_FILE_NAME)); }

bool ReadCameras(std::vector<CameraRegistration>* cameras, std::size_t* others) {
  const HRESULT hr = Registry().Read(cameras, others);
  if (FAILED(hr)) PrintFailure("reading the video input devices", hr);
  return SUCCEEDED(hr);
}

std::string ModuleText(const CameraRegistration& entry) {
  if (!entry.classKeyFound) return "none: its class key " + Utf8(CCameraRegistry::ClassKeyText(entry.classText)) + " is missing";
  if (entry.modulePath.empty()) return "none: its class key names no module file";
  return Utf8(entry.modulePath);
}

}  // namespace

int ListCameras() {
  std::vector<CameraRegistration> cameras;
  std::size_t others = 0;
  if (!ReadCameras(&cameras, &others)) return 1;
  // Each camera's channel is the one its custom-source entry gives (by the module's path).
  std::vector<CustomSource> sources;
  if (const HRESULT hr = CCustomSources::Read(&sources); FAILED(hr)) {
    PrintFailure("reading the camera list", hr);
    return 1;
  }
  const auto channelOf = [&](const CameraRegistration& entry) -> std::string {
    for (const CustomSource& source : sources)
      if (!entry.modulePath.empty() && platform::EqualsNoCase(source.path, entry.modulePath))
        return source.channel.empty() ? "default" : "\"" + Utf8(source.channel) + "\"";
    return "default";
  };
  std::size_t gone = 0;
  if (cameras.empty()) std::printf("No camera is registered.\n");
  for (const CameraRegistration& entry : cameras) {
    std::printf("%s \"%s\"%s\n  module: %s\n  channel: %s\n", Utf8(entry.classText).c_str(),
                Utf8(entry.friendlyName).c_str(), entry.moduleGone ? "  [module file is gone]" : "",
                ModuleText(entry).c_str(), channelOf(entry).c_str());
    if (entry.moduleGone) ++gone;
  }
  if (others > 0)
    std::printf("(%s other video input entr%s, not this camera's, not shown.)\n", std::to_string(others).c_str(),
                others == 1 ? "y" : "ies");
  if (gone > 0)
    std::printf("%s registration%s name%s a module file that is gone: amberline-regsvr --prune removes %s.\n",
                std::to_string(gone).c_str(),
                gone == 1 ? "" : "s", gone == 1 ? "s" : "", gone == 1 ? "it" : "them");
  return 0;
}

int RemoveStaleRegistrations(const std::wstring& onlyPath, bool silent) {
  std::vector<CameraRegistration> cameras;
  std::size_t others = 0;
  if (!ReadCameras(&cameras, &others)) return 1;
  const CCameraRegistry registry = Registry();
  std::size_t removed = 0;
  for (const CameraRegistration& entry : cameras) {
    if (!entry.moduleGone) continue;
    if (!onlyPath.empty() && !platform::EqualsNoCase(entry.modulePath, onlyPath)) continue;
    bool classKeyRemoved = false;
    const HRESULT hr = registry.Remove(entry, &classKeyRemoved);
    if (FAILED(hr)) {
      PrintFailure("removing the registration of \"" + Utf8(entry.friendlyName) + "\"", hr);
      return 1;
    }
    ++removed;
    if (silent) continue;
    std::printf("Removed \"%s\" %s (module %s):\n  %s\n", Utf8(entry.friendlyName).c_str(),
                Utf8(entry.classText).c_str(), ModuleText(entry).c_str(),
                Utf8(CCameraRegistry::CategoryEntryText(entry.instance)).c_str());
    if (classKeyRemoved) std::printf("  %s\n", Utf8(CCameraRegistry::ClassKeyText(entry.classText)).c_str());
  }
  if (removed == 0 && !silent) {
    if (onlyPath.empty()) std::printf("Every registered camera's module file is there: nothing to remove.\n");
    else std::printf("No camera registration names %s: nothing to remove.\n", Utf8(onlyPath).c_str());
  }
  return 0;
}

int PruneCameras() { return RemoveStaleRegistrations(std::wstring(), false); }

}  // namespace regsvr
