// --info: which camera a module copy is, whether it is registered, and what its start-up
// wrote to the log.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "camera_registry.h"
#include "diagnostics/log_settings.h"
#include "failure_text.h"
#include "module_server.h"
#include "platform/guid.h"
#include "platform/reg_key.h"
#include "platform/wide_string.h"
#include "regsvr_commands.h"

namespace regsvr {

namespace {

std::string Utf8(const std::wstring& text) { return platform::WideToUtf8(text); }

std::uintmax_t FileSize(const std::filesystem::path& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

void PrintIdentity(const CModuleServer& server) {
  const CameraIdentity& identity = server.Identity();
  std::printf("Camera:   \"%s\" %s\n", Utf8(identity.name).c_str(),
              Utf8(platform::GuidToRegistryString(identity.clsid)).c_str());
  if (!identity.unparsableClsidEntry.empty())
    std::printf("          named by the custom-source entry HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\%s,\n"
                "          whose CLSID value is not a class identifier: it runs under the built-in class and\n"
                "          refuses to register until the value is a class identifier without braces.\n",
                Utf8(identity.unparsableClsidEntry).c_str());
  else if (identity.customSourceFound)
    std::printf("          named by its entry in the custom-source list (HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline)\n");
  else
    std::printf("          the built-in camera: no entry of the custom-source list names this path\n");
  if (!identity.badChannelEntry.empty())
    std::printf("Channel:  the default one: the entry's Channel value is not a channel name (1 to 32 letters,\n"
                "          digits, '-' and '_'), so this copy refuses to register until it is corrected\n");
  else
    std::printf("Channel:  %s\n", identity.channel.empty() ? "the default one" : ("\"" + Utf8(identity.channel) + "\"").c_str());
  const HRESULT answer = server.AnswersForIdentity();
  if (FAILED(answer))
    std::printf("          but the module has no class factory for this class: %s\n",
                DescribeRegistrationStatus(answer).c_str());
}

void PrintRegistration(const CModuleServer& server) {
  const CameraIdentity& identity = server.Identity();
  bool classKey = false;
  const std::wstring registeredPath = CCameraRegistry::ModulePathOf(identity.clsid, &classKey);
  const bool entry = CCameraRegistry::CategoryEntryExists(identity.name);
  if (!classKey && !entry) {
    std::printf("Registered: no\n");
    return;
  }
  if (!classKey || !entry)
    std::printf("Registered: partly (%s is missing): register it again to repair, or unregister it\n",
                classKey ? "its video input entry" : "its class key");
  else
    std::printf("Registered: yes\n");
  if (classKey && !platform::EqualsNoCase(registeredPath, platform::Utf8ToWide(server.Path())))
    std::printf("          its class key names another module file: %s\n",
                registeredPath.empty() ? "none" : Utf8(registeredPath).c_str());
}

}  // namespace

int ShowInfo(const std::string& module) {
  const std::filesystem::path logPath(platform::WideToUtf8(GetLogFilePath()));
  const std::uintmax_t before = FileSize(logPath);

  CModuleServer server;
  if (!server.Load(module)) {
    PrintLoadFailure(server.Path(), server.LoadError());
    return 1;
  }
  std::printf("Module:   %s\n", server.Path().c_str());
  PrintIdentity(server);
  PrintRegistration(server);
  const std::string registry = platform::RegistryRootFolder();
  std::printf("Registry: %s\n", registry.empty() ? "the system registry" : registry.c_str());
  std::printf("Log file: %s\n", logPath.string().c_str());

  // Only a regular file is read: opening a FIFO (or a device) would wait for a writer.
  std::error_code kind;
  const std::filesystem::file_type type = std::filesystem::status(logPath, kind).type();
  if (type != std::filesystem::file_type::regular && type != std::filesystem::file_type::not_found && !kind) {
    std::printf("\nThe log path is not a regular file (a pipe or a device), so it is not read; the module writes\n"
                "no log there either. Remove it to get a log.\n");
    return 0;
  }
  std::ifstream log(logPath, std::ios::binary);
  if (!log) {
    std::printf("\nThe module wrote no log: the folder %s does not exist or logging is switched off\n"
                "(EnableLogging = 0 under HKEY_CURRENT_USER\\SOFTWARE\\Trelvox). Create the folder to get one.\n",
                logPath.parent_path().string().c_str());
    return 0;
  }
  log.seekg(static_cast<std::streamoff>(before));
  std::printf("\nWhat loading it wrote to the log:\n");
  std::string line;
  while (std::getline(log, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::printf("  %s\n", line.c_str());
  }
  return 0;
}

}  // namespace regsvr
