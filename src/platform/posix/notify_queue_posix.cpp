#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/named_sync.h"
#include "platform/notify_queue.h"

struct CNotifyQueue::State {
  std::mutex mutex;
  std::condition_variable posted;
  std::deque<NotifyMessage> messages;
};

CNotifyQueue::CNotifyQueue() : m_state(std::make_unique<State>()) {}

CNotifyQueue::~CNotifyQueue() = default;

NotifyWindow CNotifyQueue::Window() { return this; }

void CNotifyQueue::Post(const NotifyMessage& message) {
  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->messages.push_back(message);
  }
  m_state->posted.notify_one();
}

bool CNotifyQueue::WaitMessage(DWORD timeoutMs, NotifyMessage* message) {
  std::unique_lock<std::mutex> lock(m_state->mutex);
  const auto ready = [this] { return !m_state->messages.empty(); };
  if (timeoutMs == platform::kInfinite) {
    m_state->posted.wait(lock, ready);
  } else if (!m_state->posted.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
    return false;
  }
  if (message != nullptr) *message = m_state->messages.front();
  m_state->messages.pop_front();
  return true;
}

namespace platform {

bool PostNotifyMessage(NotifyWindow window, UINT message, std::uintptr_t wParam, std::intptr_t lParam) {
  if (window == nullptr) {
    errno = EINVAL;
    return false;
  }
  try {
    window->Post(NotifyMessage{message, wParam, lParam});
  } catch (...) {
    errno = ENOMEM;
    return false;
  }
  return true;
}

}  // namespace platform
