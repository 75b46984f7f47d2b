#include "channel/producer_liveness.h"

#include <chrono>

#include "channel/channel_sync.h"
#include "channel/frame_region.h"
#include "channel/labelled_object.h"
#include "diagnostics/log_file.h"

namespace {

constexpr const wchar_t* kProducerMutexName = L"Trelvox_FileMapping_ProducerMutex";

bool Acquired(WaitResult result) { return result == WaitResult::kAcquired || result == WaitResult::kAbandoned; }

}  // namespace

void CProducerLiveness::Claim(bool isServer, CNamedEvent& serverEvent, const std::optional<std::wstring>& nameSpace) {
  m_isServer = isServer;
  const std::wstring name = channel::ObjectName(nameSpace, kProducerMutexName);
  channel::OpenOrCreateLabelled(m_mutex, name, platform::KernelObjectKind::kMutex,
                                [&](CNamedMutex& mutex, bool* created) { mutex.Create(name, created); });
  // Without the mutex this participant behaves as one that knows nothing of it.
  if (!m_mutex.IsOpen() || !isServer) return;
  const WaitResult wait = m_mutex.Wait(std::chrono::milliseconds(channel::kProducerClaimMs));
  if (wait == WaitResult::kAbandoned) {
    // This producer's first write sets the event again.
    CChannelSync::Signal(serverEvent, false);
    g_Log.Write(0, L"The previous producer ended without shutting the channel down.\n");
  }
  m_held = Acquired(wait);
  m_otherProducer = wait == WaitResult::kTimeout;
  if (m_otherProducer) g_Log.Write(0, L"Another producer is delivering frames on this channel.\n");
}

void CProducerLiveness::OpenExisting(const std::optional<std::wstring>& nameSpace) {
  m_isServer = false;
  m_mutex.Open(channel::ObjectName(nameSpace, kProducerMutexName));
}

void CProducerLiveness::CheckAlive(CNamedEvent& serverEvent) {
  if (m_isServer || !m_mutex.IsOpen()) return;
  const WaitResult wait = m_mutex.Wait(std::chrono::milliseconds::zero());
  if (!Acquired(wait)) return;  // a live producer owns it, or it cannot be waited for
  // Reset while the mutex is owned: a producer that starts now claims it only afterwards,
  // so its first write is never undone.
  if (wait == WaitResult::kAbandoned) CChannelSync::Signal(serverEvent, false);
  m_mutex.Release();
  if (wait == WaitResult::kAbandoned)
    g_Log.Write(0, L"The producer ended without shutting the channel down; no frame until a producer writes again.\n");
}

void CProducerLiveness::Close() {
  if (m_held) m_mutex.Release();
  m_held = false;
  m_otherProducer = false;
  m_mutex.Close();
}
