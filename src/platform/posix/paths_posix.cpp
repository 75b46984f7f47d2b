#include <dlfcn.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/paths.h"
#include "platform/wide_string.h"

namespace platform {
namespace {

std::string CurrentDirectory() {
  std::vector<char> buffer(4096);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  passwd entry{};
  passwd* result = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
      result->pw_dir != nullptr)
    return result->pw_dir;
  return std::string();
}

}  // namespace

HMODULE ModuleHandleFromAddress(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0) return nullptr;
  return static_cast<HMODULE>(info.dli_fbase);
}

std::wstring GetModulePath(HMODULE module) {
  if (module == nullptr) return GetHostExecutablePath();
  Dl_info info{};
  if (dladdr(module, &info) == 0 || info.dli_fname == nullptr) {
    errno = ENOENT;
    return std::wstring();
  }
  // The main program may report an empty name.
  if (*info.dli_fname == '\0') return GetHostExecutablePath();
  std::string path = info.dli_fname;
  if (path.front() != '/') {
    const std::string cwd = CurrentDirectory();
    if (cwd.empty()) return std::wstring();
    path = cwd + (cwd.back() == '/' ? "" : "/") + path;
  }
  return Utf8ToWide(path);
}

std::wstring GetHostExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::wstring();
    if (static_cast<std::size_t>(n) < buffer.size()) return Utf8ToWide(std::string(buffer.data(), static_cast<std::size_t>(n)));
    if (buffer.size() > (1u << 20)) return std::wstring();
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring GetLocalAppDataFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  // A relative value is invalid by the XDG rules and is ignored.
  if (state != nullptr && state[0] == '/') return Utf8ToWide(state);
  const std::string home = HomeDirectory();
  if (home.empty()) return std::wstring();
  return Utf8ToWide(home + "/.local/state");
}

std::wstring GetRoamingAppDataFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return Utf8ToWide(config);
  const std::string home = HomeDirectory();
  if (home.empty()) return std::wstring();
  return Utf8ToWide(home + "/.config");
}

std::wstring GetSystemWow64Folder() { return std::wstring(); }

bool CreateFolder(const std::wstring& path) {
  return ::mkdir(WideToUtf8(path).c_str(), 0755) == 0;
}

std::wstring GetEnv(const wchar_t* name) {
  const char* value = std::getenv(WideToUtf8(name).c_str());
  return value != nullptr ? Utf8ToWide(value) : std::wstring();
}

bool SetEnv(const wchar_t* name, const wchar_t* value) {
  const std::string key = WideToUtf8(name);
  if (value == nullptr) return ::unsetenv(key.c_str()) == 0;
  return ::setenv(key.c_str(), WideToUtf8(value).c_str(), 1) == 0;
}

}  // namespace platform
