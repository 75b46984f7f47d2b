// File-system facts the module needs about itself and its host.
//
// Paths are wide strings in the system's own form: backslashes on Windows, '/' on
// Linux (kPathSeparator). Nothing here caches; every call asks the system. Thread-safe.
#pragma once

#include <string>

#include "platform/windows_types.h"

namespace platform {

#ifdef _WIN32
inline constexpr wchar_t kPathSeparator = L'\\';
#else
inline constexpr wchar_t kPathSeparator = L'/';
#endif

// The handle of the module (shared library or executable) that contains address.
HMODULE ModuleHandleFromAddress(const void* address);
// The full path of module as it was loaded, made absolute; the host executable for a
// null handle. Empty (with the last error set) when the system cannot tell.
std::wstring GetModulePath(HMODULE module);
// The host process's executable.
std::wstring GetHostExecutablePath();
// The per-user local application-data folder (Windows: CSIDL_LOCAL_APPDATA; Linux:
// ${XDG_STATE_HOME:-~/.local/state}). Not created here.
std::wstring GetLocalAppDataFolder();
// The per-user roaming application-data folder (Windows: CSIDL_APPDATA; Linux:
// ${XDG_CONFIG_HOME:-~/.config}). Not created here.
std::wstring GetRoamingAppDataFolder();
// The system folder of 32-bit programs on a 64-bit Windows (SysWOW64), where its 32-bit
// registration tool is; empty where there is none (a 32-bit process or Windows, Linux).
std::wstring GetSystemWow64Folder();
// Creates one folder (not its parents). False when it could not be created, including
// when it already exists; the last error tells which.
bool CreateFolder(const std::wstring& path);
// The value of an environment variable, empty when unset.
std::wstring GetEnv(const wchar_t* name);
// Sets (value non-null) or removes (null) a variable of this process's environment.
// Not safe while other threads read the environment.
bool SetEnv(const wchar_t* name, const wchar_t* value);

}  // namespace platform
