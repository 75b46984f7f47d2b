#include "bridge_autostart.h"

#include <windows.h>

#include <filesystem>

#include "platform/reg_key.h"
#include "platform/system_error.h"
#include "platform/wide_string.h"

namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

HKEY RootOf(bool allUsers) { return allUsers ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

std::string Refusal(bool allUsers, const char* what, LONG code) {
  std::string text = std::string(what) + " " + BridgeAutostartKeyName(allUsers) + " failed: " +
                     platform::WideToUtf8(platform::DescribeSystemError(static_cast<DWORD>(code)));
  if (allUsers && code == ERROR_ACCESS_DENIED)
    text += "; the bridge for every user needs a command prompt started as administrator";
  return text;
}

}  // namespace

std::string BridgeAutostartKeyName(bool allUsers) {
  return std::string(allUsers ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CURRENT_USER\\") + platform::WideToUtf8(kRunKey);
}

std::wstring BridgeAutostartCommand(const std::wstring& program) {
  if (program.empty() || program.find(L'"') != std::wstring::npos || !std::filesystem::path(program).is_absolute())
    return std::wstring();
  return L"\"" + program + L"\" --bridge";
}

bool AddBridgeAutostart(bool allUsers, const std::wstring& program, std::string* problem) {
  const std::wstring command = BridgeAutostartCommand(program);
  if (command.empty()) {
    *problem = "the program path \"" + platform::WideToUtf8(program) + "\" cannot be started at logon (it must be "
               "a full path without quotation marks)";
    return false;
  }
  CRegKey key;
  LONG code = key.Create(RootOf(allUsers), kRunKey, KEY_SET_VALUE);
  if (code == ERROR_SUCCESS) code = key.SetString(kBridgeAutostartValue, command);
  if (code != ERROR_SUCCESS) {
    *problem = Refusal(allUsers, "writing to", code);
    return false;
  }
  return true;
}

bool RemoveBridgeAutostart(bool allUsers, std::vector<std::string>* removedFrom, std::string* problem) {
  removedFrom->clear();
  for (const bool machine : {false, true}) {
    if (machine && !allUsers) break;
    // Looked up first with read rights, so that a user without administrator rights can
    // remove the camera when the machine holds no such value.
    CRegKey reader;
    std::wstring command;
    if (reader.Open(RootOf(machine), kRunKey, KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        reader.QueryString(kBridgeAutostartValue, &command) == ERROR_FILE_NOT_FOUND)
      continue;
    CRegKey key;
    LONG code = key.Open(RootOf(machine), kRunKey, KEY_SET_VALUE);
    if (code == ERROR_SUCCESS) code = key.DeleteValue(kBridgeAutostartValue);
    if (code == ERROR_FILE_NOT_FOUND) continue;
    if (code != ERROR_SUCCESS) {
      *problem = Refusal(machine, "deleting the value from", code);
      return false;
    }
    removedFrom->push_back(BridgeAutostartKeyName(machine));
  }
  return true;
}

std::vector<BridgeAutostartEntry> FindBridgeAutostart() {
  std::vector<BridgeAutostartEntry> entries;
  for (const bool machine : {false, true}) {
    CRegKey key;
    std::wstring command;
    if (key.Open(RootOf(machine), kRunKey, KEY_QUERY_VALUE) == ERROR_SUCCESS &&
        key.QueryString(kBridgeAutostartValue, &command) == ERROR_SUCCESS)
      entries.push_back({machine, command});
  }
  return entries;
}
