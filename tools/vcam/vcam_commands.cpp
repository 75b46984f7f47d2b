#include "vcam_commands.h"

#include <mfapi.h>
#include <mfidl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "bridge_agent.h"
#include "bridge_autostart.h"
#include "channel/channel_name.h"
#include "diagnose_report.h"
#include "diagnostics/log_file.h"
#include "diagnostics/log_settings.h"
#include "diagnostics/status_text.h"
#include "frame_server_checks.h"
#include "com/com_ptr.h"
#include "com/task_memory.h"
#include "identity/camera_identity.h"
#include "identity/custom_sources.h"
#include "platform/guid.h"
#include "platform/mf_virtual_camera.h"
#include "platform/paths.h"
#include "platform/reg_key.h"
#include "platform/shared_library.h"
#include "platform/stop_request.h"
#include "platform/wide_string.h"
#include "vcam_options.h"

namespace {

constexpr int kFailed = 1;
constexpr int kWrongCommandLine = 2;
constexpr int kNoVirtualCameras = 3;
constexpr auto kStopPoll = std::chrono::milliseconds(100);

std::string Utf8(const std::wstring& text) { return platform::WideToUtf8(text); }

// A system message without the line break and full stop the system ends it with.
std::string Reason(const std::wstring& text) {
  std::string reason = Utf8(text);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.' || reason.back() == ' '))
    reason.pop_back();
  return reason;
}

// The camera a module is, with the path it is known by.
struct Camera {
  std::wstring module;
  CameraIdentity identity;
  std::wstring sourceId;  // "{clsid}"
};

std::wstring DefaultModule() {
  const std::filesystem::path program(platform::GetModulePath(nullptr));
  return (program.parent_path() / L"amberline-mf.dll").wstring();
}

Camera CameraOf(const VcamOptions& options) {
  Camera camera;
  const std::filesystem::path module =
      options.module.empty() ? std::filesystem::path(DefaultModule()) : std::filesystem::path(platform::Utf8ToWide(options.module));
  camera.module = std::filesystem::absolute(module).make_preferred().wstring();
  camera.identity = LookUpMfCameraIdentity(camera.module);
  camera.sourceId = platform::GuidToRegistryString(camera.identity.clsid);
  return camera;
}

std::wstring ClassServerKey(const Camera& camera) {
  return L"Software\\Classes\\CLSID\\" + camera.sourceId + L"\\InprocServer32";
}

// The module path the machine-wide class key names, empty when there is none.
std::wstring RegisteredModule(const Camera& camera) {
  CRegKey key;
  std::wstring path;
  if (key.Open(HKEY_LOCAL_MACHINE, ClassServerKey(camera).c_str(), KEY_QUERY_VALUE) == ERROR_SUCCESS)
    key.QueryString(nullptr, &path);
  return path;
}

bool RegisteredHere(const Camera& camera) { return platform::EqualsNoCase(RegisteredModule(camera), camera.module); }

void PrintCamera(const Camera& camera, std::ostream& out) {
  out << "camera: \"" << Utf8(camera.identity.name) << "\", class " << Utf8(camera.sourceId) << ", module "
      << Utf8(camera.module) << "\n";
}

// False (with the reason on err) for a copy that has no class of its own to offer.
bool HasClassOfItsOwn(const Camera& camera, std::ostream& err) {
  if (camera.identity.unparsableClsidEntry.empty()) return true;
  err << "amberline-vcam: the custom-source entry HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\"
      << Utf8(camera.identity.unparsableClsidEntry)
      << " names this camera but gives no MFCLSID value of its own.\n"
         "  Add \"MFCLSID\" = a new class identifier without braces (not the entry's CLSID), then run this again.\n";
  return false;
}

bool PrintChecks(const Camera& camera, std::ostream& out, const char* failedWord) {
  bool allPassed = true;
  for (const FrameServerCheck& check : CheckFrameServerNeeds(camera.module)) {
    out << (check.passed ? "check: " : failedWord) << check.text << "\n";
    if (!check.passed) out << "  fix: " << check.fix << "\n";
    allPassed = allPassed && check.passed;
  }
  return allPassed;
}

// The class registration as one line: ok when the class key names this module.
DiagnosisItem RegistrationItem(const Camera& camera) {
  const std::wstring registered = RegisteredModule(camera);
  const std::string what = "class " + Utf8(camera.sourceId) + ": ";
  if (registered.empty())
    return {false,
            what + "not registered (HKEY_LOCAL_MACHINE\\Software\\Classes); register it as administrator: regsvr32 \"" +
                Utf8(camera.module) + "\"",
            {}};
  if (!platform::EqualsNoCase(registered, camera.module))
    return {false,
            what + "registered for another module, " + Utf8(registered) +
                "; register this one as administrator: regsvr32 \"" + Utf8(camera.module) + "\"",
            {}};
  return {true, what + "registered for this module", {}};
}

void PrintRegistration(const Camera& camera, std::ostream& out) { out << RegistrationItem(camera).text << "\n"; }

int NoVirtualCameras(const CVirtualCameraApi& api, std::ostream& err) {
  err << "amberline-vcam: this Windows has no virtual cameras (" << Reason(api.Error())
      << ").\n  Windows 11 (build 22000 or later) is needed for the frame server's camera. The camera still works "
         "for DirectShow applications: register amberline.dll with regsvr32.\n";
  return kNoVirtualCameras;
}

std::string Describe(HRESULT hr) { return diagnostics::DescribeStatus(hr); }

void AdviseOnCameraFailure(HRESULT hr, bool allUsers, std::ostream& err) {
  if (hr == E_ACCESSDENIED)
    err << (allUsers ? "  A camera for all users needs a command prompt started as administrator; "
                     : "  ")
        << "also check Settings > Privacy & security > Camera: camera access must be on.\n";
}

// Registers the module's class when the class key does not name this module.
bool EnsureRegistered(const Camera& camera, std::ostream& out, std::ostream& err) {
  if (RegisteredHere(camera)) return true;
  CSharedLibrary library;
  HRESULT hr = E_FAIL;
  if (library.Load(camera.module)) {
    using Entry = HRESULT(STDAPICALLTYPE*)();
    const auto registerServer = reinterpret_cast<Entry>(library.Symbol("DllRegisterServer"));
    hr = registerServer != nullptr ? registerServer() : E_NOTIMPL;
  }
  if (SUCCEEDED(hr) && RegisteredHere(camera)) {
    out << "class " << Utf8(camera.sourceId) << ": registered for this module\n";
    return true;
  }
  err << "amberline-vcam: the class " << Utf8(camera.sourceId) << " is not registered for " << Utf8(camera.module)
      << " and registering it failed: "
      << (library.IsLoaded() ? diagnostics::DescribeStatus(hr, diagnostics::StatusDomain::kRegistration)
                             : "the module could not be loaded: " + Utf8(library.Error()))
      << ".\n  Register it from a command prompt started as administrator: regsvr32 \"" << Utf8(camera.module)
      << "\"\n";
  return false;
}

// Component and Media Foundation start-up for the jobs that need them.
class CMediaRuntime {
 public:
  CMediaRuntime() {
    m_com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    m_mf = MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET);
  }
  ~CMediaRuntime() {
    if (SUCCEEDED(m_mf)) MFShutdown();
    if (SUCCEEDED(m_com)) CoUninitialize();
  }
  CMediaRuntime(const CMediaRuntime&) = delete;
  CMediaRuntime& operator=(const CMediaRuntime&) = delete;
  HRESULT Status() const { return FAILED(m_mf) ? m_mf : S_OK; }

 private:
  HRESULT m_com = E_FAIL;
  HRESULT m_mf = E_FAIL;
};

// The bridge agent starts at logon only once there is a camera for it to serve.
int AddAutostart(const VcamOptions& options, std::ostream& out, std::ostream& err) {
  const std::wstring program = platform::GetModulePath(nullptr);
  std::string problem;
  if (!AddBridgeAutostart(options.allUsers, program, &problem)) {
    err << "amberline-vcam: the camera is installed, but the bridge agent will not start at logon: " << problem
        << ".\n  Until it does, start it yourself: \"" << Utf8(program) << "\" --bridge\n";
    return kFailed;
  }
  out << "added: the bridge agent starts at logon for " << (options.allUsers ? "every user" : "this user") << ": "
      << BridgeAutostartKeyName(options.allUsers) << " \"" << Utf8(kBridgeAutostartValue)
      << "\" = " << Utf8(BridgeAutostartCommand(program)) << "\n";
  return 0;
}

int RemoveAutostart(const VcamOptions& options, std::ostream& out, std::ostream& err) {
  std::vector<std::string> removedFrom;
  std::string problem;
  if (!RemoveBridgeAutostart(options.allUsers, &removedFrom, &problem)) {
    err << "amberline-vcam: the camera is removed, but the bridge agent's start at logon is not: " << problem << ".\n";
    return kFailed;
  }
  for (const std::string& key : removedFrom)
    out << "removed: the bridge agent's start at logon, " << key << " \"" << Utf8(kBridgeAutostartValue) << "\"\n";
  if (removedFrom.empty()) out << "the bridge agent had no start at logon to remove\n";
  return 0;
}

HRESULT CreateCamera(const CVirtualCameraApi& api, const Camera& camera, MFVirtualCameraLifetime lifetime,
                     bool allUsers, CComPtr<IMFVirtualCamera>* made) {
  return api.Create()(MFVirtualCameraType_SoftwareCameraSource, lifetime,
                      allUsers ? MFVirtualCameraAccess_AllUsers : MFVirtualCameraAccess_CurrentUser,
                      camera.identity.name.c_str(), camera.sourceId.c_str(), nullptr, 0, made->Receive());
}

// The channels the bridge carries: the default one and every channel a camera of the
// camera list shows (read once, when the bridge starts).
std::vector<std::wstring> BridgeChannels() {
  std::vector<std::wstring> channels{L""};
  std::vector<CustomSource> sources;
  if (FAILED(CCustomSources::Read(&sources))) return channels;
  for (const CustomSource& source : sources) {
    const bool known = std::any_of(channels.begin(), channels.end(),
                                   [&](const std::wstring& c) { return platform::EqualsNoCase(c, source.channel); });
    if (!known && channel::IsChannelName(source.channel)) channels.push_back(source.channel);
  }
  return channels;
}

// One bridge agent per channel of this session, each on a thread of its own, until a
// stop is requested; no thread (and a line saying why) where there is no user's session
// to serve. *status is the worst of the agents' statuses once they are joined.
std::vector<std::thread> StartBridges(std::ostream& out, std::atomic<int>* status) {
  CBridgeAgent::Settings settings;
  std::string problem;
  if (!CBridgeAgent::SettingsHere(&settings, &problem)) {
    out << "no bridge: " << problem << "\n";
    return {};
  }
  ConfigureLogFromSettings(g_Log);
  std::vector<std::thread> agents;
  for (const std::wstring& channelName : BridgeChannels()) {
    settings.channelName = channelName;
    try {
      agents.emplace_back([settings, &out, status] {
        CBridgeAgent agent(settings, out);
        if (agent.Run([] { return platform::StopRequested(); }) != 0) status->store(kFailed);
      });
    } catch (...) {
      out << "no bridge for channel \"" << Utf8(channelName) << "\": its thread could not be started\n";
      status->store(kFailed);
    }
  }
  return agents;
}

int MakeCamera(const VcamOptions& options, std::ostream& out, std::ostream& err) {
  const Camera camera = CameraOf(options);
  PrintCamera(camera, out);
  if (!HasClassOfItsOwn(camera, err)) return kFailed;
  if (options.job != VcamJob::kRemove) {
    if (!std::filesystem::exists(camera.module)) {
      err << "amberline-vcam: " << Utf8(camera.module)
          << " does not exist.\n  Name the amberline-mf.dll of an installation with --module.\n";
      return kFailed;
    }
    PrintChecks(camera, out, "warning: ");
  }
  CVirtualCameraApi api;
  if (!api.Load()) return NoVirtualCameras(api, err);
  if (options.job != VcamJob::kRemove && !EnsureRegistered(camera, out, err)) return kFailed;

  CMediaRuntime runtime;
  if (FAILED(runtime.Status())) {
    err << "amberline-vcam: Media Foundation did not start: " << Describe(runtime.Status()) << ".\n";
    return kFailed;
  }
  const MFVirtualCameraLifetime lifetime =
      options.job == VcamJob::kRun ? MFVirtualCameraLifetime_Session : MFVirtualCameraLifetime_System;
  CComPtr<IMFVirtualCamera> virtualCamera;
  HRESULT hr = CreateCamera(api, camera, lifetime, options.allUsers, &virtualCamera);
  if (SUCCEEDED(hr) && !virtualCamera) hr = E_POINTER;
  if (FAILED(hr)) {
    err << "amberline-vcam: the virtual camera could not be made: " << Describe(hr) << ".\n";
    AdviseOnCameraFailure(hr, options.allUsers, err);
    return kFailed;
  }
  if (options.job == VcamJob::kRemove) {
    hr = virtualCamera->Remove();
    if (FAILED(hr)) {
      err << "amberline-vcam: the virtual camera could not be removed: " << Describe(hr) << ".\n";
      AdviseOnCameraFailure(hr, options.allUsers, err);
      return kFailed;
    }
    out << "removed: \"" << Utf8(camera.identity.name) << "\"\n";
    return RemoveAutostart(options, out, err);
  }
  hr = virtualCamera->Start(nullptr);
  if (FAILED(hr)) {
    err << "amberline-vcam: the virtual camera could not be started: " << Describe(hr) << ".\n";
    AdviseOnCameraFailure(hr, options.allUsers, err);
    virtualCamera->Shutdown();
    return kFailed;
  }
  const std::string who = options.allUsers ? "every user" : "this user";
  if (options.job == VcamJob::kInstall) {
    out << "installed: \"" << Utf8(camera.identity.name) << "\" for " << who
        << "; applications list it with the words \"Windows Virtual Camera\" added to its name.\n";
    return AddAutostart(options, out, err);
  }
  out << "running: \"" << Utf8(camera.identity.name) << "\" for " << who << " until Ctrl+C\n" << std::flush;
  platform::WatchStopRequests();
  {
    // The camera's frames reach the frame server through this session's bridge, which
    // lives as long as the camera does.
    std::atomic<int> bridgeStatus{0};
    std::vector<std::thread> agents = StartBridges(out, &bridgeStatus);
    while (!platform::StopRequested()) std::this_thread::sleep_for(kStopPoll);
    for (std::thread& agent : agents) agent.join();
  }
  hr = virtualCamera->Shutdown();
  if (FAILED(hr)) {
    err << "amberline-vcam: the camera could not be shut down: " << Describe(hr)
        << ".\n  Windows removes it when this program lets go of it, as it does now on ending; if applications "
           "still list it, restart the computer.\n";
    return kFailed;
  }
  out << "stopped: the camera is gone\n";
  return 0;
}

int List(const VcamOptions& options, std::ostream& out, std::ostream& err) {
  const Camera camera = CameraOf(options);
  CMediaRuntime runtime;
  if (FAILED(runtime.Status())) {
    err << "amberline-vcam: Media Foundation did not start: " << Describe(runtime.Status()) << ".\n";
    return kFailed;
  }
  CComPtr<IMFAttributes> query;
  HRESULT hr = MFCreateAttributes(query.Receive(), 1);
  if (SUCCEEDED(hr)) hr = query->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID);
  CTaskMemory<IMFActivate*> devices;
  UINT32 count = 0;
  if (SUCCEEDED(hr)) hr = MFEnumDeviceSources(query.Get(), devices.Receive(), &count);
  if (FAILED(hr)) {
    err << "amberline-vcam: the video capture devices could not be listed: " << Describe(hr) << ".\n";
    return kFailed;
  }
  out << "video capture devices (Media Foundation): " << count << "\n";
  // Every device's reference is taken over first: none is left behind when a line fails.
  std::vector<CComPtr<IMFActivate>> found;
  found.reserve(count);
  for (UINT32 i = 0; i < count; ++i) found.emplace_back(devices.Get()[i], kAdoptRef);
  for (const CComPtr<IMFActivate>& device : found) {
    CTaskMemory<WCHAR> name, link;
    UINT32 length = 0;
    device->GetAllocatedString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, name.Receive(), &length);
    device->GetAllocatedString(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK, link.Receive(), &length);
    out << "  \"" << (name ? Utf8(name.Get()) : std::string("(no name)")) << "\"  " << (link ? Utf8(link.Get()) : std::string())
        << "\n";
  }
  PrintCamera(camera, out);
  PrintRegistration(camera, out);
  return 0;
}

int Check(const VcamOptions& options, std::ostream& out, std::ostream& err) {
  const Camera camera = CameraOf(options);
  PrintCamera(camera, out);
  bool passed = HasClassOfItsOwn(camera, err);
  passed = PrintChecks(camera, out, "failed: ") && passed;
  PrintRegistration(camera, out);
  CVirtualCameraApi api;
  out << "virtual cameras: " << (api.Load() ? "available" : "not available on this Windows (" + Reason(api.Error()) + ")")
      << "\n";
  return passed ? 0 : kFailed;
}

// The bridge agent at logon. Where this Windows has virtual cameras it also makes this
// user's camera, for as long as it runs (the session's lifetime, so that nothing of it
// outlives the installation that starts it), as --run does; elsewhere, or when the camera
// cannot be made, it only carries the frames, for a camera made with --install.
int Bridge(const VcamOptions& options, std::ostream& out, std::ostream& err) {
  CVirtualCameraApi api;
  if (api.Load()) {
    out << "virtual cameras: available; the bridge makes this user's camera for as long as it runs\n" << std::flush;
    VcamOptions run = options;
    run.job = VcamJob::kRun;
    if (MakeCamera(run, out, err) == 0) return 0;
    if (platform::StopRequested()) return kFailed;
    out << "the camera could not be made (the lines above say why); the bridge carries the frames only\n";
  } else {
    out << "virtual cameras: not available on this Windows (" << Reason(api.Error())
        << "); the bridge carries the frames only\n";
  }
  out << std::flush;
  CBridgeAgent::Settings settings;
  std::string problem;
  if (!CBridgeAgent::SettingsHere(&settings, &problem)) {
    err << "amberline-vcam: " << problem << ".\n";
    return kFailed;
  }
  platform::WatchStopRequests();
  std::atomic<int> status{0};
  for (std::thread& agent : StartBridges(out, &status)) agent.join();
  if (status.load() != 0) err << "amberline-vcam: the bridge could not serve; the log above says why.\n";
  return status.load();
}

int Diagnose(const VcamOptions& options, std::ostream& out) {
  const Camera camera = CameraOf(options);
  return PrintDiagnosis(CollectDiagnosis(camera.module, RegistrationItem(camera)), out);
}

}  // namespace

int RunVcam(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  VcamOptions options;
  std::string problem;
  if (!ParseVcamOptions(arguments, &options, &problem)) {
    err << "amberline-vcam: " << problem << "\n" << kVcamUsage;
    return kWrongCommandLine;
  }
  switch (options.job) {
    case VcamJob::kHelp: out << kVcamUsage; return 0;
    case VcamJob::kList: return List(options, out, err);
    case VcamJob::kCheck: return Check(options, out, err);
    case VcamJob::kDiagnose: return Diagnose(options, out);
    case VcamJob::kBridge: return Bridge(options, out, err);
    default: return MakeCamera(options, out, err);
  }
}
