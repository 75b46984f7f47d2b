// What the system's service manager says about one service (Windows): its account, the
// kind of service identifier its processes carry, that identifier, and the process it
// runs in now. The camera's bridge agent uses these to let exactly the camera service
// into its pipe and to recognise that service's process; amberline-vcam --diagnose
// reports them.
//
// Windows only (the frame server exists only there). Threading: any thread, no state.
// Failure: every lookup that fails leaves its field empty or zero and says why in words
// in ServiceFacts::problems (one entry per failed lookup); nothing throws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

enum class ServiceSidType { kUnknown, kNone, kUnrestricted, kRestricted };

struct ServiceFacts {
  bool exists = false;               // the service manager knows the service
  std::wstring account;              // the account it logs on as ("NT AUTHORITY\\LocalService", ...)
  ServiceSidType sidType = ServiceSidType::kUnknown;
  std::wstring serviceSid;           // "S-1-5-80-..." of NT SERVICE\<name>; empty when unknown
  std::uint32_t processId = 0;       // 0 when it does not run (or that cannot be read)
  std::vector<std::wstring> problems;
};

// The facts of the service name ("FrameServer", "FrameServerMonitor").
ServiceFacts QueryServiceFacts(const std::wstring& name);
// The SID text of NT SERVICE\<name>, which depends on the name alone (any letter case),
// installed or not: the system's answer, or, where the system keeps no such names (Wine),
// the same identifier derived from the name as Windows derives it. Empty when neither can
// be had.
std::wstring ServiceSidText(const std::wstring& name);
// "none", "unrestricted", "restricted", "unknown".
const wchar_t* ServiceSidTypeName(ServiceSidType type);

}  // namespace platform
