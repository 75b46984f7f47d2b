// The message list of CNotifyQueue, the same on every system.
#include <chrono>

#include "platform/notify_queue.h"

void CNotifyQueue::Post(const NotifyMessage& message) {
  {
    CLockHolder<CLock> hold(m_lock);
    m_messages.push_back(message);
  }
  m_posted.NotifyOne();
}

bool CNotifyQueue::WaitMessage(std::chrono::milliseconds timeout, NotifyMessage* message) {
  CLockHolder<CLock> hold(m_lock);
  const auto ready = [this]() REQUIRES(m_lock) { return !m_messages.empty(); };
  if (timeout == platform::kInfinite) {
    m_posted.Wait(hold, ready);
  } else if (!m_posted.WaitFor(hold, std::chrono::milliseconds(platform::WaitMilliseconds(timeout)), ready)) {
    return false;
  }
  if (message != nullptr) *message = m_messages.front();
  m_messages.pop_front();
  return true;
}
