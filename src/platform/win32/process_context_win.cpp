#include "platform/process_context.h"

#include <windows.h>
#include <sddl.h>
#include <wtsapi32.h>

#include <vector>

#include "platform/paths.h"
#include "platform/system_error.h"
#include "platform/wide_string.h"

namespace platform {

namespace {

std::wstring Problem(const std::wstring& what, DWORD code) { return what + L": " + DescribeSystemError(code); }

// One token information class into buffer; false with the error in *code.
bool TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, std::vector<BYTE>* buffer, DWORD* code) {
  DWORD needed = 0;
  ::GetTokenInformation(token, kind, nullptr, 0, &needed);
  if (needed == 0) {
    *code = ::GetLastError();
    return false;
  }
  buffer->assign(needed, 0);
  if (!::GetTokenInformation(token, kind, buffer->data(), needed, &needed)) {
    *code = ::GetLastError();
    return false;
  }
  return true;
}

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return std::wstring();
  std::wstring result(text);
  ::LocalFree(text);
  return result;
}

void ReadToken(HANDLE token, ProcessContext* context) {
  std::vector<BYTE> buffer;
  DWORD code = 0;
  if (TokenInformation(token, TokenUser, &buffer, &code)) {
    context->userSid = SidText(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid);
    if (context->userSid.empty()) context->problems.push_back(Problem(L"the user SID could not be written", ::GetLastError()));
  } else {
    context->problems.push_back(Problem(L"the token's user could not be read", code));
  }

  if (TokenInformation(token, TokenIntegrityLevel, &buffer, &code)) {
    PSID label = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer.data())->Label.Sid;
    const UCHAR count = *::GetSidSubAuthorityCount(label);
    // The level is the label's last sub-authority.
    if (count > 0) context->integrityRid = *::GetSidSubAuthority(label, count - 1u);
  } else {
    context->problems.push_back(Problem(L"the token's integrity level could not be read", code));
  }

  context->restricted = ::IsTokenRestricted(token) != FALSE;

  DWORD appContainer = 0;
  DWORD size = 0;
  if (::GetTokenInformation(token, TokenIsAppContainer, &appContainer, sizeof(appContainer), &size)) {
    context->appContainer = appContainer != 0;
  } else {
    context->problems.push_back(Problem(L"whether the token is an app container could not be read", ::GetLastError()));
  }
}

}  // namespace

ProcessContext QueryProcessContext() {
  ProcessContext context;
  context.processId = ::GetCurrentProcessId();
  context.executable = GetModulePath(nullptr);
  if (context.executable.empty())
    context.problems.push_back(Problem(L"the program's path could not be read", ::GetLastError()));
  DWORD session = 0;
  if (::ProcessIdToSessionId(context.processId, &session)) {
    context.sessionId = session;
  } else {
    context.problems.push_back(Problem(L"the session could not be read", ::GetLastError()));
  }
  HANDLE token = nullptr;
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    ReadToken(token, &context);
    ::CloseHandle(token);
  } else {
    context.problems.push_back(Problem(L"the process token could not be opened", ::GetLastError()));
  }
  return context;
}

std::wstring IntegrityName(std::uint32_t rid) {
  switch (rid) {
    case SECURITY_MANDATORY_LOW_RID: return L"low";
    case SECURITY_MANDATORY_MEDIUM_RID: return L"medium";
    case SECURITY_MANDATORY_HIGH_RID: return L"high";
    case SECURITY_MANDATORY_SYSTEM_RID: return L"system";
    default: break;
  }
  return Format(L"0x%04X", static_cast<unsigned>(rid));
}

std::uint32_t ActiveConsoleSession() { return ::WTSGetActiveConsoleSessionId(); }

std::vector<std::uint32_t> ActiveUserSessions(std::wstring* problem) {
  std::vector<std::uint32_t> sessions;
  WTS_SESSION_INFOW* info = nullptr;
  DWORD count = 0;
  if (!::WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count)) {
    if (problem != nullptr) *problem = Problem(L"the sessions could not be listed", ::GetLastError());
    return sessions;
  }
  for (DWORD i = 0; i < count; ++i)
    if (info[i].State == WTSActive && info[i].SessionId != 0) sessions.push_back(info[i].SessionId);
  ::WTSFreeMemory(info);
  if (problem != nullptr) problem->clear();
  return sessions;
}

std::wstring WindowsBuild() {
  // GetVersionEx answers what the program's manifest claims to support; ntdll's
  // RtlGetVersion answers what the system is.
  using RtlGetVersionFunction = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const FARPROC symbol = ntdll != nullptr ? ::GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
  if (symbol == nullptr) return std::wstring();
  const auto rtlGetVersion = reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void (*)()>(symbol));
  RTL_OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (rtlGetVersion(&version) != 0) return std::wstring();
  return std::to_wstring(version.dwMajorVersion) + L"." + std::to_wstring(version.dwMinorVersion) + L"." +
         std::to_wstring(version.dwBuildNumber);
}

}  // namespace platform
