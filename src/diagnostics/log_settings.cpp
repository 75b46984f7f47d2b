#include "diagnostics/log_settings.h"

#include "diagnostics/log_file.h"
#include "platform/paths.h"
#include "platform/reg_key.h"
#include "platform/wide_string.h"

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
  constexpr DWORD kHighestLevel = 3;
  bool enabled = true;
  DWORD configured = 0;
  CRegKey key;
  if (key.Open(HKEY_CURRENT_USER, L"SOFTWARE\\Trelvox", KEY_READ | KEY_WRITE) == ERROR_SUCCESS) {
    DWORD value = 1;
    if (key.QueryDword(L"EnableLogging", &value) == ERROR_SUCCESS) enabled = value != 0;
    if (key.QueryDword(L"LoggingLevel", &configured) != ERROR_SUCCESS) configured = 0;
    key.Close();
  }
  // A DWORD is unsigned, so the nearest level to anything above the highest (ffffffff
  // included) is the highest; no value silences the level 0 lines.
  const int level = static_cast<int>(configured > kHighestLevel ? kHighestLevel : configured);
  if (enabled) log.Open(GetLogFilePath().c_str(), L"at");
  log.SetLevel(level);

  log.Write(0, L"============================\n");
  log.Write(0, L" VideoSrc\n");
  log.Write(0, L"============================\n");
  log.Write(0, L"Logging level = %d\n", level);
  if (configured > kHighestLevel)
    log.Write(0, L"LoggingLevel %lu is above the highest level; using %d\n", configured, level);
  for (const std::string& problem : platform::RegistryFileProblems())
    log.Write(0, L"A registry file does not parse, and nothing will be written to it until it is mended: %s\n",
              platform::Utf8ToWide(problem).c_str());
}
