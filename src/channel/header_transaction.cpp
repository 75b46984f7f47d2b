#include "channel/header_transaction.h"

CHeaderTransaction::CHeaderTransaction(CFileMapping& channel, Kind kind) : m_channel(channel) {
  channel.m_lock.AssertHeld();
  if (kind == Kind::kFrames && !m_channel.m_hAccessMutex.IsOpen()) return;
  const WaitResult wait = m_channel.WaitForAccess();
  m_mutexTaken = wait == WaitResult::kAcquired || wait == WaitResult::kAbandoned;
  if (wait == WaitResult::kTimeout) return;
  if (wait == WaitResult::kAbandoned) m_channel.RepairAbandonedHeader();
  if (kind == Kind::kFrames && wait != WaitResult::kAcquired) {
    // Released at once: the turn ends at the repair.
    if (m_mutexTaken) m_channel.m_hAccessMutex.Release();
    m_mutexTaken = false;
    return;
  }
  if (MapHeader() == nullptr) {
    m_outcome = ChannelOutcome::kNoView;
    if (m_mutexTaken) m_channel.m_hAccessMutex.Release();
    m_mutexTaken = false;
    return;
  }
  m_outcome = ChannelOutcome::kDone;
}

CHeaderTransaction::~CHeaderTransaction() {
  if (m_channel.m_pView != nullptr) m_channel.UnmapView();
  if (m_mutexTaken) m_channel.m_hAccessMutex.Release();
}

void CHeaderTransaction::UnmapHeader() {
  if (m_header != nullptr) m_channel.UnmapView();
  m_header = nullptr;
}

channel::RegionHeader* CHeaderTransaction::MapHeader() {
  if (m_header == nullptr && m_channel.MapWindow(0, channel::kHeaderSize) == ChannelOutcome::kDone)
    m_header = reinterpret_cast<channel::RegionHeader*>(m_channel.m_pView);
  return m_header;
}
