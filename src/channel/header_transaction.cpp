#include "channel/header_transaction.h"

#include "channel/client_table.h"
#include "diagnostics/log_file.h"

CHeaderTransaction::CHeaderTransaction(CFileMapping& channel, Kind kind) : m_channel(channel) {
  channel.m_lock.AssertHeld();
  if (kind == Kind::kFrames && !m_channel.m_sync.AccessMutex().IsOpen()) return;
  const WaitResult wait = m_channel.m_sync.WaitForAccess();
  m_mutexTaken = wait == WaitResult::kAcquired || wait == WaitResult::kAbandoned;
  if (wait == WaitResult::kTimeout) return;
  if (wait == WaitResult::kAbandoned) RepairAbandonedHeader();
  if (kind == Kind::kFrames && wait != WaitResult::kAcquired) {
    // Released at once: the turn ends at the repair.
    if (m_mutexTaken) m_channel.m_sync.AccessMutex().Release();
    m_mutexTaken = false;
    return;
  }
  if (MapHeader() == nullptr) {
    m_outcome = ChannelOutcome::kNoView;
    if (m_mutexTaken) m_channel.m_sync.AccessMutex().Release();
    m_mutexTaken = false;
    return;
  }
  m_outcome = ChannelOutcome::kDone;
}

// The analysis cannot tie m_channel.m_lock to the lock its caller holds under another
// name; the constructor's requirement stands for the whole transaction.
CHeaderTransaction::~CHeaderTransaction() {
  m_channel.m_lock.AssertHeld();
  static_cast<void>(m_channel.m_region.Unmap());
  if (m_mutexTaken) m_channel.m_sync.AccessMutex().Release();
}

void CHeaderTransaction::UnmapHeader() {
  m_channel.m_lock.AssertHeld();
  if (m_header != nullptr) static_cast<void>(m_channel.m_region.Unmap());
  m_header = nullptr;
}

channel::RegionHeader* CHeaderTransaction::MapHeader() {
  m_channel.m_lock.AssertHeld();
  if (m_header == nullptr && m_channel.m_region.Map(0, channel::kHeaderSize) == ChannelOutcome::kDone)
    m_header = reinterpret_cast<channel::RegionHeader*>(m_channel.m_region.View());
  return m_header;
}

void CHeaderTransaction::RepairAbandonedHeader() {
  m_channel.m_lock.AssertHeld();
  if (m_channel.m_region.Map(0, channel::kHeaderSize) != ChannelOutcome::kDone) return;
  auto* header = reinterpret_cast<channel::RegionHeader*>(m_channel.m_region.View());
  const std::int32_t counted = CClientTable(header).Recount();
  const std::int32_t occupied = header->ClientCount;
  static_cast<void>(m_channel.m_region.Unmap());
  if (counted != occupied)
    g_Log.Write(0, L"The access mutex was abandoned; the client count %d is corrected to %d occupied entries.\n",
                static_cast<int>(counted), static_cast<int>(occupied));
}
