#include "pipewire/buffer_starvation.h"

#include <algorithm>

bool CBufferStarvation::RenewDue(std::int64_t nowNs) {
  if (nowNs - m_sinceNs < kStarvedNs) return false;
  const bool recent = m_renewed && nowNs - m_lastRenewNs < kForgetNs;
  if (recent && nowNs - m_lastRenewNs < m_waitNs) return false;
  m_waitNs = recent ? std::min(m_waitNs * 2, kLastWaitNs) : kFirstWaitNs;
  m_renewed = true;
  m_lastRenewNs = nowNs;
  return true;
}
