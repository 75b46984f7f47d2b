#include "mfsource/mf_host_context.h"

#include <atomic>
#include <cwchar>
#include <string>

#include "diagnostics/log_file.h"
#include "platform/paths.h"
#include "platform/process_context.h"
#include "platform/service_query.h"

std::optional<std::uint32_t> BridgeSessionFromEnvironment() {
  if (platform::GetEnv(L"AMBERLINE_CHANNEL_NAMESPACE").empty()) return std::nullopt;
  const std::wstring text = platform::GetEnv(L"AMBERLINE_MF_BRIDGE_SESSION");
  if (text.empty() || text.size() > 9) return std::nullopt;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
  }
  return static_cast<std::uint32_t>(std::wcstoul(text.c_str(), nullptr, 10));
}

namespace {

// The process's facts, logged; its session id.
std::uint32_t LogHostFacts() {
  const platform::ProcessContext context = platform::QueryProcessContext();
  const platform::ServiceFacts frameServer = platform::QueryServiceFacts(L"FrameServer");
  const platform::ServiceFacts monitor = platform::QueryServiceFacts(L"FrameServerMonitor");
  const wchar_t* service = L"neither FrameServer nor FrameServerMonitor";
  if (frameServer.processId != 0 && frameServer.processId == context.processId) service = L"the FrameServer service";
  if (monitor.processId != 0 && monitor.processId == context.processId) service = L"the FrameServerMonitor service";
  g_Log.Write(0, L"Media Foundation source host: %s, process %lu, session %lu, user %s, %s integrity, restricted %s, "
                 L"app container %s, %s.\n",
              context.executable.c_str(), static_cast<unsigned long>(context.processId),
              static_cast<unsigned long>(context.sessionId),
              context.userSid.empty() ? L"(unreadable)" : context.userSid.c_str(),
              platform::IntegrityName(context.integrityRid).c_str(), context.restricted ? L"yes" : L"no",
              context.appContainer ? L"yes" : L"no", service);
  for (const std::wstring& problem : context.problems) g_Log.Write(0, L"Media Foundation source host: %s\n", problem.c_str());

  return context.sessionId;
}

}  // namespace

MfHostMode MfHostContext() {
  static const std::uint32_t session = LogHostFacts();
  MfHostMode mode;
  mode.forcedSession = BridgeSessionFromEnvironment();
  mode.bridge = session == 0 || mode.forcedSession.has_value();
  // Said when the mode changes (a test process may switch the seam between sources).
  static std::atomic<int> said{-1};
  const int now = mode.forcedSession ? 2 : mode.bridge ? 1 : 0;
  if (said.exchange(now) == now) return mode;
  if (mode.forcedSession) {
    g_Log.Write(0, L"Media Foundation source: test seam, frames from the bridge of session %lu.\n",
                static_cast<unsigned long>(*mode.forcedSession));
  } else if (mode.bridge) {
    g_Log.Write(0, L"Media Foundation source: session 0, frames from a user's bridge agent (amberline-vcam --bridge).\n");
  } else {
    g_Log.Write(0, L"Media Foundation source: frames from this session's channel.\n");
  }
  return mode;
}
