#include "channel/client_expiry.h"

#include "channel/client_table.h"

int CClientExpiry::Sweep(channel::RegionHeader* header, std::uint32_t nowMs) {
  if (!m_firstWriteSeen) {
    m_firstWriteSeen = true;
    m_firstWriteTick = nowMs;
  }
  if (nowMs - m_firstWriteTick <= channel::kStaleClientMs) return 0;
  return CClientTable(header).WithdrawNotSeenFor(channel::kStaleClientMs, nowMs);
}
