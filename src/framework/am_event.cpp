#include "framework/am_event.h"

#include <chrono>

void CAMEvent::Set() {
  {
    std::lock_guard<std::mutex> hold(m_mutex);
    m_set = true;
  }
  if (m_manualReset) {
    m_changed.notify_all();
  } else {
    m_changed.notify_one();
  }
}

void CAMEvent::Reset() {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_set = false;
}

bool CAMEvent::Wait(DWORD dwTimeoutMs) {
  std::unique_lock<std::mutex> hold(m_mutex);
  const auto isSet = [this] { return m_set; };
  if (dwTimeoutMs == INFINITE) {
    m_changed.wait(hold, isSet);
  } else if (!m_changed.wait_for(hold, std::chrono::milliseconds(dwTimeoutMs), isSet)) {
    return false;
  }
  if (!m_manualReset) m_set = false;
  return true;
}
