// The message list of CNotifyQueue, the same on every system.
#include <chrono>

#include "platform/notify_queue.h"

void CNotifyQueue::Post(const NotifyMessage& message) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.push_back(message);
  }
  m_posted.notify_one();
}

bool CNotifyQueue::WaitMessage(std::chrono::milliseconds timeout, NotifyMessage* message) {
  std::unique_lock<std::mutex> lock(m_mutex);
  const auto ready = [this] { return !m_messages.empty(); };
  if (timeout == platform::kInfinite) {
    m_posted.wait(lock, ready);
  } else if (!m_posted.wait_for(lock, std::chrono::milliseconds(platform::WaitMilliseconds(timeout)), ready)) {
    return false;
  }
  if (message != nullptr) *message = m_messages.front();
  m_messages.pop_front();
  return true;
}
