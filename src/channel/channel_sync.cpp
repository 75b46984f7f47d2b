#include "channel/channel_sync.h"

#include <chrono>

#include "channel/frame_region.h"
#include "channel/labelled_object.h"
#include "diagnostics/log_file.h"
#include "platform/timeout.h"

namespace {

constexpr const wchar_t* kMutexName = L"Trelvox_FileMapping_AccessMutex";
constexpr const wchar_t* kServerEventName = L"Trelvox_FileMapping_ServerEvent";
constexpr const wchar_t* kClientEventName = L"Trelvox_FileMapping_ClientEvent";

}  // namespace

bool CChannelSync::OpenOrCreate(const std::optional<std::wstring>& nameSpace) {
  // The three messages below keep their wording ("srv", "cli", a creation logged only for
  // the client event): logs are read side by side with those of earlier releases.
  const std::wstring mutexName = channel::ObjectName(nameSpace, kMutexName);
  channel::OpenOrCreateLabelled(m_accessMutex, mutexName, platform::KernelObjectKind::kMutex,
                                [&](CNamedMutex& mutex, bool* created) { mutex.Create(mutexName, created); });
  if (!m_accessMutex.IsOpen()) {
    g_Log.Write(0, L"Error creating access mutex.\n");
    return false;
  }
  const std::wstring serverName = channel::ObjectName(nameSpace, kServerEventName);
  channel::OpenOrCreateLabelled(m_serverEvent, serverName, platform::KernelObjectKind::kEvent,
                                [&](CNamedEvent& event, bool* created) { event.Create(serverName, true, false, created); });
  if (!m_serverEvent.IsOpen()) {
    g_Log.Write(0, L"Error creating srv event.\n");
    return false;
  }
  const std::wstring clientName = channel::ObjectName(nameSpace, kClientEventName);
  channel::OpenOrCreateLabelled(m_clientEvent, clientName, platform::KernelObjectKind::kEvent, [&](CNamedEvent& event, bool* created) {
    g_Log.Write(0, L"Creating new cli event.\n");
    event.Create(clientName, false, false, created);
  });
  if (!m_clientEvent.IsOpen()) {
    g_Log.Write(0, L"Error creating cli event.\n");
    return false;
  }
  return true;
}

bool CChannelSync::OpenExisting(const wchar_t** missing, const std::optional<std::wstring>& nameSpace) {
  *missing = nullptr;
  if (m_accessMutex.Open(channel::ObjectName(nameSpace, kMutexName)) != ERROR_SUCCESS)
    *missing = L"access mutex";
  else if (m_serverEvent.Open(channel::ObjectName(nameSpace, kServerEventName)) != ERROR_SUCCESS)
    *missing = L"server event";
  else if (m_clientEvent.Open(channel::ObjectName(nameSpace, kClientEventName)) != ERROR_SUCCESS)
    *missing = L"client event";
  if (*missing == nullptr) return true;
  CloseAll();
  return false;
}

bool CChannelSync::AnyOpen() const {
  return m_accessMutex.IsOpen() || m_serverEvent.IsOpen() || m_clientEvent.IsOpen();
}

void CChannelSync::CloseMutexAndServerEvent(bool resetServerEvent) {
  m_accessMutex.Close();
  if (resetServerEvent) Signal(m_serverEvent, false);
  m_serverEvent.Close();
}

void CChannelSync::CloseAll() {
  CloseMutexAndServerEvent(false);
  m_clientEvent.Close();
}

WaitResult CChannelSync::WaitForAccess() {
  if (!m_accessMutex.IsOpen()) return WaitResult::kFailed;
  const WaitResult wait = m_accessMutex.Wait(std::chrono::milliseconds(channel::kAccessWaitMs));
  if (wait == WaitResult::kTimeout)
    g_Log.Write(3, L"The access mutex was not free within %lu ms.\n", static_cast<DWORD>(channel::kAccessWaitMs));
  return wait;
}

void CChannelSync::Signal(CNamedEvent& event, bool set) {
  if (!event.IsOpen()) return;
  if (set) event.Set();
  else event.Reset();
}

bool CChannelSync::WaitFor(CNamedEvent& event, DWORD timeoutMs) {
  return event.IsOpen() && event.Wait(platform::TimeoutFromMilliseconds(timeoutMs));
}

bool CChannelSync::TakeAccess(DWORD timeoutMs) {
  if (!m_accessMutex.IsOpen()) return false;
  const WaitResult wait = m_accessMutex.Wait(platform::TimeoutFromMilliseconds(timeoutMs));
  return wait == WaitResult::kAcquired || wait == WaitResult::kAbandoned;
}

void CChannelSync::ReleaseAccess() {
  if (m_accessMutex.IsOpen()) m_accessMutex.Release();
}
