#include <cerrno>

#include "platform/notify_queue.h"

// The queue itself is the target here: nothing besides the message list is needed.
struct CNotifyQueue::State {};

CNotifyQueue::CNotifyQueue() = default;

CNotifyQueue::~CNotifyQueue() = default;

NotifyWindow CNotifyQueue::Window() { return this; }

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
