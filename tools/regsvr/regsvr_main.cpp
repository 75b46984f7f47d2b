// amberline-regsvr: registers, unregisters or inspects a camera module, as the Windows
// registration tool does for component servers.
//
//   amberline-regsvr [/s] <module>     load the module and call DllRegisterServer
//   amberline-regsvr /u [/s] <module>  load the module and call DllUnregisterServer
//   amberline-regsvr --info <module>   load the module and show which camera it is:
//                                      the lines its start-up wrote to the log
// Exit status 0 on success; 1 with a message on stderr otherwise.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "diagnostics/log_settings.h"
#include "platform/dshow_types.h"
#include "platform/reg_key.h"
#include "platform/shared_library.h"
#include "platform/wide_string.h"
#include "platform/windows_types.h"

namespace {

using RegisterFunction = HRESULT(STDAPICALLTYPE*)();

int Usage() {
  std::fprintf(stderr,
               "usage: amberline-regsvr [/u] [/s] <module>\n"
               "       amberline-regsvr --info <module>\n");
  return 1;
}

std::uintmax_t FileSize(const std::filesystem::path& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

int ShowInfo(const std::string& module) {
  const std::filesystem::path logPath(platform::WideToUtf8(GetLogFilePath()));
  const std::uintmax_t before = FileSize(logPath);
  const std::string absolute = std::filesystem::absolute(module).string();

  CSharedLibrary library;
  if (!library.Load(platform::Utf8ToWide(absolute))) {
    std::fprintf(stderr, "amberline-regsvr: cannot load %s: %s\n", absolute.c_str(),
                 platform::WideToUtf8(library.Error()).c_str());
    return 1;
  }
  std::printf("Module:   %s\n", absolute.c_str());
  const std::string registry = platform::RegistryRootFolder();
  std::printf("Registry: %s\n", registry.empty() ? "the system registry" : registry.c_str());
  std::printf("Log file: %s\n", logPath.string().c_str());

  std::ifstream log(logPath, std::ios::binary);
  if (!log) {
    std::printf("\nThe module wrote no log: the folder %s does not exist or logging is switched off\n"
                "(EnableLogging = 0 under HKEY_CURRENT_USER\\SOFTWARE\\Trelvox).\n",
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

int Register(const std::string& module, bool unregister, bool silent) {
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  const std::string absolute = std::filesystem::absolute(module).string();
  CSharedLibrary library;
  if (!library.Load(platform::Utf8ToWide(absolute))) {
    std::fprintf(stderr, "amberline-regsvr: cannot load %s: %s\n", absolute.c_str(),
                 platform::WideToUtf8(library.Error()).c_str());
    return 1;
  }
  const auto function = reinterpret_cast<RegisterFunction>(library.Symbol(entry));
  if (function == nullptr) {
    std::fprintf(stderr, "amberline-regsvr: %s does not export %s\n", absolute.c_str(), entry);
    return 1;
  }
  // Registration talks to the system's filter mapper, which needs the component runtime
  // on this thread, as the system's registration tool provides it.
  const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const HRESULT hr = function();
  if (SUCCEEDED(init)) CoUninitialize();
  if (FAILED(hr)) {
    std::fprintf(stderr, "amberline-regsvr: %s in %s failed: 0x%08X\n", entry, absolute.c_str(),
                 static_cast<unsigned>(hr));
    for (const std::string& problem : platform::RegistryFileProblems())
      std::fprintf(stderr, "amberline-regsvr: a registry file does not parse: %s\n", problem.c_str());
    return 1;
  }
  if (!silent) std::printf("%s in %s succeeded.\n", entry, absolute.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false, silent = false, info = false;
  std::string module;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "/u" || arg == "-u") unregister = true;
    else if (arg == "/s" || arg == "-s") silent = true;
    else if (arg == "--info") info = true;
    else if (module.empty() && !arg.empty() && arg[0] != '-') module = arg;
    else return Usage();
  }
  if (module.empty() || (info && (unregister || silent))) return Usage();
  return info ? ShowInfo(module) : Register(module, unregister, silent);
}
