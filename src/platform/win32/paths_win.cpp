#include <shlobj.h>

#include <cstdlib>
#include <vector>

#include "platform/paths.h"

namespace platform {

HMODULE ModuleHandleFromAddress(const void* address) {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module))
    return nullptr;
  return module;
}

std::wstring GetModulePath(HMODULE module) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::wstring();
    if (n < buffer.size()) return std::wstring(buffer.data(), n);
    if (buffer.size() >= 32768) return std::wstring(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring GetHostExecutablePath() { return GetModulePath(nullptr); }

namespace {

std::wstring ShellFolder(int csidl) {
  wchar_t path[MAX_PATH];
  if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) return std::wstring();
  return path;
}

}  // namespace

std::wstring GetLocalAppDataFolder() { return ShellFolder(CSIDL_LOCAL_APPDATA); }

std::wstring GetRoamingAppDataFolder() { return ShellFolder(CSIDL_APPDATA); }

std::wstring GetSystemWow64Folder() {
  if (sizeof(void*) != 8) return std::wstring();
  wchar_t folder[MAX_PATH] = {};
  const UINT length = ::GetSystemWow64DirectoryW(folder, MAX_PATH);
  return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(folder, length);
}

bool CreateFolder(const std::wstring& path) { return ::CreateDirectoryW(path.c_str(), nullptr) != FALSE; }

std::wstring GetEnv(const wchar_t* name) {
  const wchar_t* value = ::_wgetenv(name);
  return value != nullptr ? std::wstring(value) : std::wstring();
}

bool SetEnv(const wchar_t* name, const wchar_t* value) {
  // _wputenv_s updates the C runtime's copy and the process environment together.
  return ::_wputenv_s(name, value != nullptr ? value : L"") == 0;
}

}  // namespace platform
