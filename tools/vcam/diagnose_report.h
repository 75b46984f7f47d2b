// amberline-vcam --diagnose: one plain-text report of everything the Windows 11 camera
// depends on, for a user to paste into a bug report.
//
// Each item is one line that starts with "OK  " or "NO  " and says what was found; an
// item's details (the camera log's last lines) follow it, each indented by four spaces.
// Items, in order: the Windows build (virtual cameras need build 22000 or later); the
// FrameServer and FrameServerMonitor services (installed, account, service SID type and
// SID, process when running); whether virtual cameras are available; the camera's class
// registration; the bridge agent's start at logon; the bridge pipe of this session (asked
// without connecting to it); the frame server's needs of the module (CheckFrameServerNeeds);
// the camera's log under the LOCAL SERVICE profile.
//
// No line names the user: the user's profile folder is written %USERPROFILE% and the user
// name <user> (RemoveUserName), also in the log's lines.
//
// Windows only. Threading: the calling thread; no state. Failure: a check that cannot be
// made is a NO line saying why; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "platform/service_query.h"

struct DiagnosisItem {
  bool ok = false;
  std::string text;
  std::vector<std::string> details;  // printed below the item, indented
};

// How many of the log's last lines the report carries.
inline constexpr std::size_t kDiagnosisLogLines = 40;

// Every item. registration is the class registration's item, which the caller words (it
// knows the camera); module is the amberline-mf.dll the report is about.
std::vector<DiagnosisItem> CollectDiagnosis(const std::wstring& module, const DiagnosisItem& registration);

// The pieces, each one item.
DiagnosisItem WindowsBuildItem(const std::wstring& build);
DiagnosisItem ServiceItem(const std::wstring& name, const platform::ServiceFacts& facts);
DiagnosisItem BridgePipeItem(std::uint32_t session, const std::wstring& pipe);
// The last lines of the log at path (its bytes in the system's ANSI code page, as the log
// is written), control characters shown as '?', each cut at kDiagnosisLineLimit bytes.
DiagnosisItem LogTailItem(const std::wstring& path, std::size_t lines);
inline constexpr std::size_t kDiagnosisLineLimit = 400;

// line with every occurrence of profile (case-insensitive) written %USERPROFILE% and every
// occurrence of userName that stands as a word of its own (not inside a longer name;
// case-insensitive) written <user>. Empty arguments change nothing.
std::string RemoveUserName(std::string line, const std::string& userName, const std::string& profile);

// Writes the items (without the user's name); 0 when every item is OK, else 1.
int PrintDiagnosis(const std::vector<DiagnosisItem>& items, std::ostream& out);
