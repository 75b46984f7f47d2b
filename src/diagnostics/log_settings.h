// The log's start-up: reads the per-user settings, opens the shared log file and writes
// the banner.
//
// Settings (HKEY_CURRENT_USER\SOFTWARE\Trelvox, read once, never written):
//   "EnableLogging" REG_DWORD  0 switches the log off; missing or of another type: on.
//   "LoggingLevel"  REG_DWORD  the level, 0 to 3; missing or of another type: 0; above 3
//                              (ffffffff included: a DWORD is unsigned): 3, and the log
//                              says so after the banner.
// The key is opened for reading and writing, so a process that may only read it (a
// low-integrity host) runs with the defaults. The file is
// <local application data>\Trelvox\Amberline.log; the Trelvox folder is not created, so
// a user without it gets no log. A log path that names anything but a regular file (a
// FIFO, a device) gives no log either, and opening it never waits. After the banner, each
// registry hive file that does not parse is named in the log with its line (see
// platform::RegistryFileProblems). Nothing here fails: the module always starts.
#pragma once

#include <string>

class CLogFile;

// The per-user local (or roaming) application-data folder, created when missing (one
// level, failure ignored).
std::wstring GetSpecialFolderPath(bool local);

// Full path of the log file for this user.
std::wstring GetLogFilePath();

// Configures log from the settings and writes the banner through it.
void ConfigureLogFromSettings(CLogFile& log);
