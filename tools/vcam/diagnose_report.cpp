#include "diagnose_report.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "bridge_autostart.h"
#include "channel/bridge_protocol.h"
#include "frame_server_checks.h"
#include "platform/mf_virtual_camera.h"
#include "platform/paths.h"
#include "platform/pipe_probe.h"
#include "platform/process_context.h"
#include "platform/system_error.h"
#include "platform/wide_string.h"

namespace {

// The first Windows build with virtual cameras.
constexpr unsigned long kFirstVirtualCameraBuild = 22000;
// The log's tail is read from at most this many bytes at its end: 40 lines fit many times.
constexpr std::int64_t kLogTailBytes = 256 * 1024;

std::string Utf8(const std::wstring& text) { return platform::WideToUtf8(text); }

std::string Phrase(DWORD code) { return Utf8(platform::DescribeSystemError(code)); }

struct HandleCloser {
  void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using CFileHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

// Bytes in the system's ANSI code page as UTF-8.
std::string AnsiToUtf8(const std::string& bytes) {
  if (bytes.empty()) return bytes;
  const int count = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (count <= 0) return bytes;
  std::wstring wide(static_cast<std::size_t>(count), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), count);
  return Utf8(wide);
}

// A line of the log as the report may show it: one line, no control characters, bounded.
std::string Printable(std::string line) {
  if (line.size() > kDiagnosisLineLimit) {
    std::size_t cut = kDiagnosisLineLimit;
    // Never end inside a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    line.resize(cut);
    line += "...";
  }
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20 && c != '\t') c = '?';
  for (char& c : line)
    if (c == 0x7F) c = '?';
  return line;
}

// An item's text on one line: a system message may hold line breaks of its own.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return text;
}

std::string LowerAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// Letters, digits, '_' and everything beyond ASCII may continue a user name; a match next
// to one is part of a longer name.
bool IsNameCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || (static_cast<unsigned char>(c) & 0x80) != 0;
}

// Replaces what (case-insensitive) by with; wholeWord keeps matches inside longer names.
std::string ReplaceAll(const std::string& line, const std::string& what, const std::string& with, bool wholeWord) {
  if (what.empty()) return line;
  const std::string lower = LowerAscii(line);
  const std::string key = LowerAscii(what);
  std::string result;
  std::size_t from = 0;
  for (std::size_t at = lower.find(key); at != std::string::npos; at = lower.find(key, at + 1)) {
    if (at < from) continue;
    const std::size_t end = at + key.size();
    if (wholeWord && ((at > 0 && IsNameCharacter(line[at - 1])) || (end < line.size() && IsNameCharacter(line[end]))))
      continue;
    result.append(line, from, at - from);
    result += with;
    from = end;
  }
  result.append(line, from, std::string::npos);
  return result;
}

std::vector<DiagnosisItem> ModuleItems(const std::wstring& module) {
  std::vector<DiagnosisItem> items;
  for (const FrameServerCheck& check : CheckFrameServerNeeds(module))
    items.push_back({check.passed, check.text + (check.passed ? "" : "; fix: " + check.fix), {}});
  return items;
}

DiagnosisItem VirtualCamerasItem() {
  CVirtualCameraApi api;
  if (api.Load()) return {true, "virtual cameras: available", {}};
  std::string reason = Utf8(api.Error());
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.')) reason.pop_back();
  return {false, "virtual cameras: not available on this Windows (" + reason + ")", {}};
}

DiagnosisItem AutostartItem() {
  const std::vector<BridgeAutostartEntry> entries = FindBridgeAutostart();
  if (entries.empty())
    return {false,
            "bridge agent at logon: no \"" + Utf8(kBridgeAutostartValue) + "\" value under " +
                BridgeAutostartKeyName(false) + " or " + BridgeAutostartKeyName(true) +
                "; amberline-vcam --install adds it",
            {}};
  std::string text = "bridge agent at logon:";
  for (std::size_t i = 0; i < entries.size(); ++i)
    text += std::string(i == 0 ? " " : "; ") + BridgeAutostartKeyName(entries[i].allUsers) + " \"" +
            Utf8(kBridgeAutostartValue) + "\" = " + Utf8(entries[i].command);
  return {true, text, {}};
}

std::wstring CameraLogPath() {
  wchar_t windows[MAX_PATH] = {};
  const UINT length = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
  const std::wstring root = length > 0 && length < MAX_PATH ? std::wstring(windows, length) : L"C:\\Windows";
  return root + L"\\ServiceProfiles\\LocalService\\AppData\\Local\\Trelvox\\Amberline.log";
}

}  // namespace

DiagnosisItem WindowsBuildItem(const std::wstring& build) {
  if (build.empty()) return {false, "Windows build: unknown (the system did not say)", {}};
  const std::size_t dot = build.rfind(L'.');
  unsigned long number = 0;
  try {
    number = std::stoul(build.substr(dot == std::wstring::npos ? 0 : dot + 1));
  } catch (const std::exception&) {
    number = 0;
  }
  if (number >= kFirstVirtualCameraBuild) return {true, "Windows " + Utf8(build), {}};
  return {false, "Windows " + Utf8(build) + ": virtual cameras need Windows 11 (build 22000 or later)", {}};
}

DiagnosisItem ServiceItem(const std::wstring& name, const platform::ServiceFacts& facts) {
  DiagnosisItem item;
  item.ok = facts.exists;
  item.text = "service " + Utf8(name) + ": ";
  if (facts.exists) {
    item.text += "installed, account " + (facts.account.empty() ? std::string("unknown") : Utf8(facts.account)) +
                 ", service SID type " + Utf8(platform::ServiceSidTypeName(facts.sidType)) + ", SID " +
                 (facts.serviceSid.empty() ? std::string("unknown") : Utf8(facts.serviceSid)) + ", " +
                 (facts.processId != 0 ? "running as process " + std::to_string(facts.processId)
                                       : std::string("not running now (it starts when an application opens a camera)"));
  } else {
    item.text += "not installed";
  }
  for (const std::wstring& problem : facts.problems) item.text += "; " + Utf8(problem);
  return item;
}

DiagnosisItem BridgePipeItem(std::uint32_t session, const std::wstring& pipe) {
  std::wstring problem;
  const bool exists = platform::PipeExists(pipe, &problem);
  const std::string where = "bridge pipe " + Utf8(pipe) + " (session " + std::to_string(session) + "): ";
  if (exists) return {true, where + "an agent serves it", {}};
  if (!problem.empty()) return {false, where + "could not be asked: " + Utf8(problem), {}};
  return {false, where + "no agent serves it; start amberline-vcam --bridge (or sign out and in after --install)", {}};
}

DiagnosisItem LogTailItem(const std::wstring& path, std::size_t lines) {
  DiagnosisItem item;
  const std::string what = "camera log " + Utf8(path) + ": ";
  const CFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      item.text = what + "not there: the frame server has not run the camera on this computer, or its log is off";
    } else {
      item.text = what + "not readable: " + Phrase(code) +
                  (code == ERROR_ACCESS_DENIED ? "; run --diagnose from a command prompt started as administrator "
                                                 "to include it"
                                               : "");
    }
    return item;
  }
  LARGE_INTEGER size{};
  std::string bytes;
  bool read = ::GetFileSizeEx(file.get(), &size) != FALSE;
  const std::int64_t start = read ? std::max<std::int64_t>(0, size.QuadPart - kLogTailBytes) : 0;
  LARGE_INTEGER position{};
  position.QuadPart = start;
  read = read && ::SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN) != FALSE;
  if (read) {
    bytes.resize(static_cast<std::size_t>(size.QuadPart - start));
    DWORD got = 0;
    read = ::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) != FALSE;
    bytes.resize(got);  // the file may have been cut meanwhile
  }
  if (!read) {
    item.text = what + "not readable: " + Phrase(::GetLastError());
    return item;
  }
  std::vector<std::string> all;
  std::size_t from = 0;
  // A read that starts inside the file starts inside a line: that part line is dropped.
  if (start > 0) {
    const std::size_t first = bytes.find('\n');
    from = first == std::string::npos ? bytes.size() : first + 1;
  }
  while (from < bytes.size()) {
    std::size_t end = bytes.find('\n', from);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(from, end - from);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    all.push_back(std::move(line));
    from = end + 1;
  }
  const std::size_t keep = std::min(lines, all.size());
  for (std::size_t i = all.size() - keep; i < all.size(); ++i) item.details.push_back(Printable(AnsiToUtf8(all[i])));
  item.ok = true;
  item.text = what + (keep == 0 ? "empty" : "its last " + std::to_string(keep) + " lines follow");
  return item;
}

std::string RemoveUserName(std::string line, const std::string& userName, const std::string& profile) {
  line = ReplaceAll(line, profile, "%USERPROFILE%", false);
  return ReplaceAll(line, userName, "<user>", true);
}

std::vector<DiagnosisItem> CollectDiagnosis(const std::wstring& module, const DiagnosisItem& registration) {
  std::vector<DiagnosisItem> items;
  items.push_back(WindowsBuildItem(platform::WindowsBuild()));
  for (const wchar_t* service : {L"FrameServer", L"FrameServerMonitor"})
    items.push_back(ServiceItem(service, platform::QueryServiceFacts(service)));
  items.push_back(VirtualCamerasItem());
  items.push_back(registration);
  items.push_back(AutostartItem());
  const platform::ProcessContext context = platform::QueryProcessContext();
  items.push_back(BridgePipeItem(context.sessionId, bridge::PipeName(context.sessionId)));
  for (DiagnosisItem& item : ModuleItems(module)) items.push_back(std::move(item));
  items.push_back(LogTailItem(CameraLogPath(), kDiagnosisLogLines));
  return items;
}

int PrintDiagnosis(const std::vector<DiagnosisItem>& items, std::ostream& out) {
  const std::string userName = Utf8(platform::GetEnv(L"USERNAME"));
  const std::string profile = Utf8(platform::GetEnv(L"USERPROFILE"));
  bool allOk = true;
  for (const DiagnosisItem& item : items) {
    out << (item.ok ? "OK  " : "NO  ") << RemoveUserName(OneLine(item.text), userName, profile) << "\n";
    for (const std::string& detail : item.details) out << "    " << RemoveUserName(detail, userName, profile) << "\n";
    allOk = allOk && item.ok;
  }
  return allOk ? 0 : 1;
}
