// --add-camera and --remove-camera: a camera of its own, with its own channel, made from
// a copy of an installation, and taken away again.
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "camera_registry.h"
#include "channel/channel_name.h"
#include "failure_text.h"
#include "identity/camera_identity.h"
#include "identity/custom_sources.h"
#include "module_server.h"
#include "platform/guid.h"
#include "platform/wide_string.h"
#include "regsvr_commands.h"

namespace regsvr {

namespace {

namespace fs = std::filesystem;

// The folder below an installation's root that holds the added cameras' copies.
constexpr const char* kCamerasFolder = "Cameras";
// The Media Foundation module beside the camera module (Windows installations).
constexpr const char* kMfModuleFileName = "amberline-mf.dll";

std::string Utf8(const std::wstring& text) { return platform::WideToUtf8(text); }
std::wstring Wide(const std::string& text) { return platform::Utf8ToWide(text); }

bool SameText(const std::wstring& a, const std::wstring& b) { return platform::EqualsNoCase(a, b); }

// A channel made from a camera's name: its ASCII letters and digits in lower case, every
// other run of characters one '-', at most 32 characters; empty when nothing is left.
std::string ChannelFromName(const std::string& name) {
  std::string channel;
  for (const unsigned char c : name) {
    if (std::isalnum(c) != 0 && c < 0x80) channel.push_back(static_cast<char>(std::tolower(c)));
    else if (!channel.empty() && channel.back() != '-') channel.push_back('-');
  }
  while (!channel.empty() && channel.back() == '-') channel.pop_back();
  if (channel.size() > channel::kMaxChannelNameChars) channel.resize(channel::kMaxChannelNameChars);
  while (!channel.empty() && channel.back() == '-') channel.pop_back();
  return channel;
}

// Why name cannot be a camera's name, or empty.
std::string CheckName(const std::string& name) {
  if (name.empty()) return "a camera needs a name";
  if (name.size() > 200) return "a camera name can be at most 200 bytes long";
  for (const unsigned char c : name)
    if (c < 0x20 || c == 0x7F || c == '\\') return "a camera name cannot hold control characters or backslashes";
  return {};
}

std::string Describe(const CustomSource& entry) {
  return "the camera \"" + Utf8(entry.name) + "\" (channel \"" + Utf8(entry.channel) + "\", entry " +
         Utf8(CCustomSources::EntryText(entry.subKey)) + ")";
}

// The module of the registered built-in camera; empty when it is not registered.
std::string BuiltInModule() {
  bool found = false;
  const std::wstring path = CCameraRegistry::ModulePathOf(CLSID_Amberline, &found);
  return found ? Utf8(path) : std::string();
}

// Copies the folder of module (Bin) and the installation's picture folders into target.
bool CopyInstallation(const fs::path& module, const fs::path& target, std::string* problem) {
  const fs::path bin = module.parent_path(), root = bin.parent_path();
  std::error_code error;
  fs::create_directories(target, error);
  const auto copy = [&](const fs::path& from, const fs::path& to) {
    if (error) return;
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::skip_existing, error);
    if (error) *problem = "copying " + from.string() + " to " + to.string() + ": " + error.message();
  };
  if (error) *problem = "creating " + target.string() + ": " + error.message();
  copy(bin, target / bin.filename());
  for (const char* pictures : {"Data", "data"}) {
    std::error_code missing;
    if (fs::is_directory(root / pictures, missing)) copy(root / pictures, target / pictures);
  }
  return !error;
}

// Runs entry (DllRegisterServer, DllUnregisterServer) of module; prints a failure.
bool CallModule(const fs::path& module, const char* entry) {
  CModuleServer server;
  if (!server.Load(module.string())) {
    PrintLoadFailure(server.Path(), server.LoadError());
    return false;
  }
  const HRESULT hr = server.CallRegistration(entry);
  if (FAILED(hr) && !(hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) && std::string(entry) == "DllUnregisterServer")) {
    PrintFailure(std::string(entry) + " in " + server.Path(), hr);
    return false;
  }
  return true;
}

// The camera module and, where it is installed, the Media Foundation module of a copy.
std::vector<fs::path> ModulesOf(const fs::path& module) {
  std::vector<fs::path> modules{module};
  std::error_code error;
  if (fs::exists(module.parent_path() / kMfModuleFileName, error)) modules.push_back(module.parent_path() / kMfModuleFileName);
  return modules;
}

}  // namespace

int AddCamera(const std::string& name, std::string channelName, std::string module) {
  if (const std::string problem = CheckName(name); !problem.empty()) {
    std::fprintf(stderr, "amberline-regsvr: --add-camera \"%s\": %s.\n", name.c_str(), problem.c_str());
    return 2;
  }
  if (channelName.empty()) channelName = ChannelFromName(name);
  if (!channel::IsChannelName(channelName)) {
    std::fprintf(stderr,
                 "amberline-regsvr: \"%s\" is not a channel name (1 to %d ASCII letters, digits, '-' and '_'); give "
                 "one with --channel.\n",
                 channelName.c_str(), static_cast<int>(channel::kMaxChannelNameChars));
    return 2;
  }
  if (SameText(Wide(name), kBuiltInFilterName)) {
    std::fprintf(stderr, "amberline-regsvr: \"%s\" is the built-in camera's name; choose another.\n", name.c_str());
    return 1;
  }
  std::vector<CustomSource> entries;
  if (const HRESULT hr = CCustomSources::Read(&entries); FAILED(hr)) {
    PrintFailure("reading the camera list", hr);
    return 1;
  }
  for (const CustomSource& entry : entries) {
    const bool nameTaken = SameText(entry.name, Wide(name));
    if (nameTaken || SameText(entry.channel, Wide(channelName))) {
      std::fprintf(stderr, "amberline-regsvr: the %s \"%s\" is taken by %s; choose another%s.\n",
                   nameTaken ? "name" : "channel", nameTaken ? name.c_str() : channelName.c_str(),
                   Describe(entry).c_str(), nameTaken ? "" : " with --channel");
      return 1;
    }
  }
  if (module.empty()) module = BuiltInModule();
  if (module.empty()) {
    std::fprintf(stderr,
                 "amberline-regsvr: the built-in camera is not registered, so there is no installation to copy; "
                 "name its module with --module PATH (Bin/%s).\n",
                 AMBERLINE_MODULE_FILE_NAME);
    return 1;
  }
  std::error_code error;
  const fs::path original = fs::absolute(module, error);
  if (error || !fs::is_regular_file(original, error)) {
    std::fprintf(stderr, "amberline-regsvr: %s is not a module file; name the installation's Bin/%s.\n", module.c_str(),
                 AMBERLINE_MODULE_FILE_NAME);
    return 1;
  }
  const fs::path target = original.parent_path().parent_path() / kCamerasFolder / channelName;
  if (fs::exists(target, error)) {
    std::fprintf(stderr, "amberline-regsvr: %s exists already; remove it or choose another channel with --channel.\n",
                 target.string().c_str());
    return 1;
  }
  std::string problem;
  const fs::path copy = target / original.parent_path().filename() / original.filename();
  GUID clsid{}, mfClsid{};
  CustomSource entry{Wide(channelName), Wide(name), copy.wstring(), L"", L"", Wide(channelName)};
  bool added = CopyInstallation(original, target, &problem);
  if (!added) std::fprintf(stderr, "amberline-regsvr: %s\n", problem.c_str());
  if (added && (FAILED(platform::CreateGuid(&clsid)) || FAILED(platform::CreateGuid(&mfClsid)))) {
    std::fprintf(stderr, "amberline-regsvr: the system gave no new class identifier.\n");
    added = false;
  }
  if (added) {
    const auto braceless = [](const GUID& guid) {
      const std::wstring text = platform::GuidToRegistryString(guid);
      return text.substr(1, text.size() - 2);
    };
    entry.clsid = braceless(clsid);
    if (ModulesOf(copy).size() > 1) entry.mfClsid = braceless(mfClsid);
    if (const HRESULT hr = CCustomSources::Write(entry); FAILED(hr)) {
      PrintFailure("writing " + Utf8(CCustomSources::EntryText(entry.subKey)), hr);
      added = false;
    }
  }
  for (const fs::path& each : added ? ModulesOf(copy) : std::vector<fs::path>{})
    added = added && CallModule(each, "DllRegisterServer");
  if (!added) {
    // Nothing half made stays behind.
    for (const fs::path& each : ModulesOf(copy))
      if (fs::exists(each, error)) CallModule(each, "DllUnregisterServer");
    CCustomSources::Remove(entry.subKey);
    fs::remove_all(target, error);
    return 1;
  }
  std::printf("Added camera \"%s\": class {%s}, channel \"%s\", module %s.\n", name.c_str(), Utf8(entry.clsid).c_str(),
              channelName.c_str(), copy.string().c_str());
  std::printf("Feed it with: amberline-producer --channel %s (or a sender with channel \"%s\").\n", channelName.c_str(),
              channelName.c_str());
  return 0;
}

int RemoveCamera(const std::string& name) {
  std::vector<CustomSource> entries;
  if (const HRESULT hr = CCustomSources::Read(&entries); FAILED(hr)) {
    PrintFailure("reading the camera list", hr);
    return 1;
  }
  const CustomSource* found = nullptr;
  for (const CustomSource& entry : entries)
    if (found == nullptr && SameText(entry.name, Wide(name))) found = &entry;
  if (found == nullptr) {
    std::printf("No camera named \"%s\" was added: nothing to remove.\n", name.c_str());
    return 0;
  }
  const fs::path copy(found->path);
  std::error_code error;
  for (const fs::path& each : ModulesOf(copy)) {
    if (!fs::exists(each, error)) continue;
    if (!CallModule(each, "DllUnregisterServer")) return 1;
  }
  if (!fs::exists(copy, error) && RemoveStaleRegistrations(copy.wstring(), true) != 0) return 1;
  if (const HRESULT hr = CCustomSources::Remove(found->subKey); FAILED(hr)) {
    PrintFailure("removing " + Utf8(CCustomSources::EntryText(found->subKey)), hr);
    return 1;
  }
  // Only a copy this tool made (…/Cameras/<channel>/<Bin>/<module>) is deleted.
  const fs::path target = copy.parent_path().parent_path();
  const bool ours = target.parent_path().filename() == kCamerasFolder && SameText(target.filename().wstring(), found->channel);
  if (ours) fs::remove_all(target, error);
  std::printf("Removed camera \"%s\" (channel \"%s\")%s.\n", Utf8(found->name).c_str(), Utf8(found->channel).c_str(),
              ours ? (error ? (": its files in " + target.string() + " could not all be deleted: " + error.message()).c_str()
                            : (" and its files in " + target.string()).c_str())
                   : "; its files were not made by --add-camera and stay where they are");
  return 0;
}

}  // namespace regsvr
