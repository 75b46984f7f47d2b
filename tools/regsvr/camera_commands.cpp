// --add-camera and --remove-camera: a camera of its own, with its own channel, made from
// a copy of an installation, and taken away again. On a 64-bit Windows with a 32-bit
// installation registered beside the 64-bit one, the 32-bit installation gets its copy
// and its entry in the 32-bit view of the registry too (same name, classes and channel),
// registered by the system's 32-bit registration tool.
#include <cctype>
#include <chrono>
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
#include "platform/child_process.h"
#include "platform/guid.h"
#include "platform/paths.h"
#include "platform/wide_string.h"
#include "regsvr_commands.h"

namespace regsvr {

namespace {

namespace fs = std::filesystem;

// The folder below an installation's root that holds the added cameras' copies.
constexpr const char* kCamerasFolder = "Cameras";
// The Media Foundation module beside the camera module (Windows installations).
constexpr const char* kMfModuleFileName = "amberline-mf.dll";
// The longest the 32-bit registration tool may take.
constexpr std::chrono::seconds kRegsvr32Limit{60};

std::string Utf8(const std::wstring& text) { return platform::WideToUtf8(text); }
std::wstring Wide(const std::string& text) { return platform::Utf8ToWide(text); }

bool SameText(const std::wstring& a, const std::wstring& b) { return platform::EqualsNoCase(a, b); }

// One bitness of the cameras: this tool's own (registered in this process), or the
// 32-bit one of a 64-bit Windows (its registry view, registered by SysWOW64\regsvr32).
struct View {
  REGSAM flags = 0;
  std::wstring regsvr32;  // empty: this process registers
  const char* label = "";
};
View OwnView() { return {}; }
// The 32-bit view, when this is a 64-bit Windows that has one.
bool ThirtyTwoBitView(View* view) {
  const std::wstring wow = platform::GetSystemWow64Folder();
  if (!platform::kIsWindows || wow.empty()) return false;
  *view = {KEY_WOW64_32KEY, wow + L"\\regsvr32.exe", " for 32-bit applications"};
  return true;
}

// This tool's view, and the 32-bit one where there is one.
std::vector<View> Views() {
  std::vector<View> views{OwnView()};
  if (View wide{}; ThirtyTwoBitView(&wide)) views.push_back(wide);
  return views;
}

// The camera list of view; false (and the failure printed) when it cannot be read.
bool ReadList(const View& view, std::vector<CustomSource>* entries) {
  const HRESULT hr = CCustomSources::Read(entries, view.flags);
  if (FAILED(hr)) PrintFailure(std::string("reading the camera list") + view.label, hr);
  return SUCCEEDED(hr);
}

// A channel made from a camera's name: its ASCII letters and digits in lower case, every
// other run of characters one '-', at most 32 characters; empty when nothing is left.
std::string ChannelFromName(const std::string& name) {
  std::string channel;
  for (const unsigned char c : name) {
    if (c < 0x80 && std::isalnum(c) != 0) channel.push_back(static_cast<char>(std::tolower(c)));
    else if (!channel.empty() && channel.back() != '-') channel.push_back('-');
  }
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

std::string BracelessGuid(const GUID& guid) {
  const std::wstring text = platform::GuidToRegistryString(guid);
  return Utf8(text.substr(1, text.size() - 2));
}

// Copies the folder of module (Bin) and the installation's picture folders into target.
bool CopyInstallation(const fs::path& module, const fs::path& target, std::string* problem) {
  const fs::path bin = module.parent_path(), root = bin.parent_path();
  std::error_code error;
  fs::create_directories(target, error);
  if (error) *problem = "creating " + target.string() + ": " + error.message();
  // Folder by folder, file by file: a folder that is there already is filled, not
  // refused (Windows keeps Data and data as one folder).
  const auto copy = [&](const fs::path& from, const fs::path& to) {
    if (error) return;
    fs::create_directories(to, error);
    for (fs::recursive_directory_iterator it(from, error), end; !error && it != end; it.increment(error)) {
      const fs::path into = to / fs::relative(it->path(), from, error);
      if (error) break;
      if (it->is_directory(error)) fs::create_directories(into, error);
      else if (!error) fs::copy_file(it->path(), into, fs::copy_options::skip_existing, error);
    }
    if (error) *problem = "copying " + from.string() + " to " + to.string() + ": " + error.message();
  };
  copy(bin, target / bin.filename());
  for (const char* pictures : {"Data", "data"}) {
    std::error_code missing;
    if (fs::is_directory(root / pictures, missing)) copy(root / pictures, target / pictures);
  }
  return !error;
}

// The camera module and, where it is installed, the Media Foundation module of a copy.
std::vector<fs::path> ModulesOf(const fs::path& module) {
  std::vector<fs::path> modules{module};
  std::error_code error;
  if (fs::exists(module.parent_path() / kMfModuleFileName, error)) modules.push_back(module.parent_path() / kMfModuleFileName);
  return modules;
}

// Runs DllRegisterServer (or DllUnregisterServer) of module in view; prints a failure.
// Unregistering what is not registered is no failure.
bool CallModule(const View& view, const fs::path& module, bool unregister) {
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  if (view.regsvr32.empty()) {
    CModuleServer server;
    if (!server.Load(module.string())) {
      PrintLoadFailure(server.Path(), server.LoadError());
      return false;
    }
    const HRESULT hr = server.CallRegistration(entry);
    if (FAILED(hr) && !(unregister && hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))) {
      PrintFailure(std::string(entry) + " in " + server.Path(), hr);
      return false;
    }
    return true;
  }
  std::vector<std::string> arguments{"/s"};
  if (unregister) arguments.insert(arguments.begin(), "/u");
  arguments.push_back(module.string());
  CChildProcess tool;
  int code = -1;
  if (!tool.Start(Utf8(view.regsvr32), arguments)) {
    std::fprintf(stderr, "amberline-regsvr: %s\n", tool.StartError().c_str());
    return false;
  }
  if (!tool.Wait(kRegsvr32Limit, &code)) {
    tool.Kill();
    std::fprintf(stderr, "amberline-regsvr: %s did not end within %d seconds.\n", Utf8(view.regsvr32).c_str(),
                 static_cast<int>(kRegsvr32Limit.count()));
    return false;
  }
  if (code != 0 && !unregister) {
    std::fprintf(stderr, "amberline-regsvr: %s %s in %s failed with exit status %d.\n", Utf8(view.regsvr32).c_str(), entry,
                 module.string().c_str(), code);
    return false;
  }
  return true;
}

// Unregisters a copy's modules, deletes its entry and (only a copy --add-camera made:
// …/Cameras/<channel>/<Bin>/<module>) its files. *note says what happened to the files.
bool TakeAway(const View& view, const CustomSource& entry, std::string* note) {
  const fs::path copy(entry.path);
  std::error_code error;
  for (const fs::path& each : ModulesOf(copy))
    if (fs::exists(each, error) && !CallModule(view, each, true)) return false;
  if (view.flags == 0 && !fs::exists(copy, error) && RemoveStaleRegistrations(copy.wstring(), true) != 0) return false;
  if (const HRESULT hr = CCustomSources::Remove(entry.subKey, view.flags); FAILED(hr)) {
    PrintFailure("removing " + Utf8(CCustomSources::EntryText(entry.subKey)) + view.label, hr);
    return false;
  }
  const fs::path target = copy.parent_path().parent_path();
  const bool ours = target.parent_path().filename() == kCamerasFolder && SameText(target.filename().wstring(), entry.channel);
  if (!ours) {
    *note = "; its files were not made by --add-camera and stay where they are";
    return true;
  }
  fs::remove_all(target, error);
  *note = error ? ": its files in " + target.string() + " could not all be deleted: " + error.message()
                : " and its files in " + target.string();
  return true;
}

// Takes back a copy that was being added, as far as it got: each step is tried whatever
// the one before it did (a module that cannot be loaded cannot be unregistered either).
void Undo(const View& view, const CustomSource& entry, const fs::path& target) {
  std::error_code error;
  for (const fs::path& each : ModulesOf(fs::path(entry.path)))
    if (fs::exists(each, error)) CallModule(view, each, true);
  CCustomSources::Remove(entry.subKey, view.flags);
  fs::remove_all(target, error);
}

// Copies the installation of original into Cameras/<channel> beside it, writes the entry
// in view and registers the copy. Undoes what it did when a step fails.
bool AddIn(const View& view, const fs::path& original, CustomSource entry, fs::path* copy) {
  const fs::path target = original.parent_path().parent_path() / kCamerasFolder / entry.channel;
  std::error_code error;
  if (fs::exists(target, error)) {
    std::fprintf(stderr, "amberline-regsvr: %s exists already; remove it or choose another channel with --channel.\n",
                 target.string().c_str());
    return false;
  }
  *copy = target / original.parent_path().filename() / original.filename();
  entry.path = copy->wstring();
  if (ModulesOf(*copy).size() < 2 && !fs::exists(original.parent_path() / kMfModuleFileName, error)) entry.mfClsid.clear();
  std::string problem;
  bool made = CopyInstallation(original, target, &problem);
  if (!made) std::fprintf(stderr, "amberline-regsvr: %s\n", problem.c_str());
  if (made) {
    if (ModulesOf(*copy).size() < 2) entry.mfClsid.clear();
    if (const HRESULT hr = CCustomSources::Write(entry, view.flags); FAILED(hr)) {
      PrintFailure("writing " + Utf8(CCustomSources::EntryText(entry.subKey)) + view.label, hr);
      made = false;
    }
  }
  for (const fs::path& each : made ? ModulesOf(*copy) : std::vector<fs::path>{}) made = made && CallModule(view, each, false);
  if (!made) Undo(view, entry, target);
  return made;
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
  View wide{};
  const bool withThirtyTwo = ThirtyTwoBitView(&wide);
  for (const View& view : Views()) {
    std::vector<CustomSource> entries;
    if (!ReadList(view, &entries)) return 1;
    for (const CustomSource& entry : entries) {
      const bool nameTaken = SameText(entry.name, Wide(name));
      if (nameTaken || SameText(entry.channel, Wide(channelName))) {
        std::fprintf(stderr, "amberline-regsvr: the %s \"%s\" is taken by %s%s; choose another%s.\n",
                     nameTaken ? "name" : "channel", nameTaken ? name.c_str() : channelName.c_str(),
                     Describe(entry).c_str(), view.label, nameTaken ? "" : " with --channel");
        return 1;
      }
    }
  }
  bool found = false;
  if (module.empty()) module = Utf8(CCameraRegistry::ModulePathOf(CLSID_Amberline, &found));
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
  GUID clsid{}, mfClsid{};
  if (FAILED(platform::CreateGuid(&clsid)) || FAILED(platform::CreateGuid(&mfClsid))) {
    std::fprintf(stderr, "amberline-regsvr: the system gave no new class identifier.\n");
    return 1;
  }
  const CustomSource entry{Wide(channelName), Wide(name), L"", Wide(BracelessGuid(clsid)), Wide(BracelessGuid(mfClsid)),
                           Wide(channelName)};
  fs::path copy;
  if (!AddIn(OwnView(), original, entry, &copy)) return 1;
  std::printf("Added camera \"%s\": class {%s}, channel \"%s\", module %s.\n", name.c_str(), Utf8(entry.clsid).c_str(),
              channelName.c_str(), copy.string().c_str());

  // The 32-bit installation registered beside this one (not this one seen again).
  const std::wstring original32 =
      withThirtyTwo ? CCameraRegistry::ModulePathOf(CLSID_Amberline, &found, wide.flags) : std::wstring();
  if (!original32.empty() && !SameText(original32, original.wstring()) && !CCameraRegistry::FileIsGone(original32)) {
    fs::path copy32;
    if (!AddIn(wide, fs::path(original32), entry, &copy32)) {
      CustomSource made = entry;
      made.path = copy.wstring();
      Undo(OwnView(), made, copy.parent_path().parent_path());
      std::fprintf(stderr, "amberline-regsvr: the camera is not added.\n");
      return 1;
    }
    std::printf("Added it for 32-bit applications too: module %s.\n", copy32.string().c_str());
  }
  std::printf("Feed it with: amberline-producer --channel %s (or a sender with channel \"%s\").\n", channelName.c_str(),
              channelName.c_str());
  if (ModulesOf(copy).size() > 1)
    std::printf("For Windows 11 applications: amberline-vcam --install --module \"%s\"\n",
                (copy.parent_path() / kMfModuleFileName).string().c_str());
  return 0;
}

int RemoveCamera(const std::string& name) {
  bool removedAny = false;
  for (const View& view : Views()) {
    std::vector<CustomSource> entries;
    if (!ReadList(view, &entries)) return 1;
    for (const CustomSource& entry : entries) {
      if (!SameText(entry.name, Wide(name))) continue;
      std::string note;
      if (!TakeAway(view, entry, &note)) return 1;
      std::printf("Removed camera \"%s\" (channel \"%s\")%s%s.\n", Utf8(entry.name).c_str(), Utf8(entry.channel).c_str(),
                  view.label, note.c_str());
      removedAny = true;
      break;
    }
  }
  if (!removedAny) std::printf("No camera named \"%s\" was added: nothing to remove.\n", name.c_str());
  return 0;
}

}  // namespace regsvr
