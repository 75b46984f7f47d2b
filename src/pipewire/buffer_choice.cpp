#include "pipewire/buffer_choice.h"

#include <algorithm>

void CBufferChoice::Add(void* buffer) { m_buffers.push_back(Slot{buffer}); }

void CBufferChoice::Remove(void* buffer) {
  std::erase_if(m_buffers, [buffer](const Slot& slot) { return slot.buffer == buffer; });
}

std::size_t CBufferChoice::Pick(const std::vector<std::uint32_t>& counts) {
  // The windows count frames looked at, whether or not one went out, so marks that came
  // to stay (a consumer that got stuck) count as lasting after at most two windows.
  const bool newWindow = ++m_looks % kLowestWindowFrames == 0;
  std::size_t pick = kNone;
  std::size_t oldest = kNone;
  for (std::size_t i = 0; i < m_buffers.size() && i < counts.size(); ++i) {
    Slot& slot = m_buffers[i];
    if (newWindow) {
      slot.lowestBefore = slot.lowest;
      slot.lowest = UINT32_MAX;
    }
    slot.lowest = std::min(slot.lowest, counts[i]);
    const bool unread = counts[i] <= std::min(slot.lowest, slot.lowestBefore);
    if (unread && (pick == kNone || slot.sentAt < m_buffers[pick].sentAt)) pick = i;
    if (oldest == kNone || slot.sentAt < m_buffers[oldest].sentAt) oldest = i;
  }
  return pick != kNone ? pick : oldest;
}

void CBufferChoice::Sent(void* buffer) {
  ++m_sent;
  for (Slot& slot : m_buffers) {
    if (slot.buffer == buffer) slot.sentAt = m_sent;
  }
}

bool CBufferChoice::NoticeDue(std::int64_t nowNs) {
  if (m_noticeNs >= 0 && nowNs - m_noticeNs < kHeldNoticeEveryNs) return false;
  m_noticeNs = nowNs;
  return true;
}
