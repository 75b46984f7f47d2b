#include "framework/am_event.h"

#include <chrono>

void CAMEvent::Set() {
  {
    CLockHolder<CLock> hold(m_lock);
    m_set = true;
  }
  if (m_manualReset) {
    m_changed.NotifyAll();
  } else {
    m_changed.NotifyOne();
  }
}

void CAMEvent::Reset() {
  CLockHolder<CLock> hold(m_lock);
  m_set = false;
}

bool CAMEvent::Wait(DWORD dwTimeoutMs) {
  CLockHolder<CLock> hold(m_lock);
  const auto isSet = [this]() REQUIRES(m_lock) { return m_set; };
  if (dwTimeoutMs == INFINITE) {
    m_changed.Wait(hold, isSet);
  } else if (!m_changed.WaitFor(hold, std::chrono::milliseconds(dwTimeoutMs), isSet)) {
    return false;
  }
  if (!m_manualReset) m_set = false;
  return true;
}
