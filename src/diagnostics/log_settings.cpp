#include "diagnostics/log_settings.h"

#include "diagnostics/log_file.h"
#include "platform/paths.h"
#include "platform/reg_key.h"

std::wstring GetSpecialFolderPath(bool local) {
  std::wstring folder = local ? platform::GetLocalAppDataFolder() : platform::GetRoamingAppDataFolder();
  if (!folder.empty()) platform::CreateFolder(folder);
  return folder;
}

std::wstring GetLogFilePath() {
  const wchar_t sep = platform::kPathSeparator;
  return GetSpecialFolderPath(true) + sep + L"Trelvox" + sep + L"Amberline.log";
}

void ConfigureLogFromSettings(CLogFile& log) {
  bool enabled = true;
  int level = 0;
  CRegKey key;
  if (key.Open(HKEY_CURRENT_USER, L"SOFTWARE\\Trelvox", KEY_READ | KEY_WRITE) == ERROR_SUCCESS) {
    DWORD value = 1;
    if (key.QueryDword(L"EnableLogging", &value) == ERROR_SUCCESS) enabled = value != 0;
    DWORD configured = 0;
    if (key.QueryDword(L"LoggingLevel", &configured) == ERROR_SUCCESS) level = static_cast<int>(configured);
    key.Close();
  }
  if (enabled) log.Open(GetLogFilePath().c_str(), L"at");
  log.SetLevel(level);

  log.Write(0, L"============================\n");
  log.Write(0, L" VideoSrc\n");
  log.Write(0, L"============================\n");
  log.Write(0, L"Logging level = %d\n", level);
}
