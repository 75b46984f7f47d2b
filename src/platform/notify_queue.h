// Window-message notifications from a channel to its producer.
//
// NotifyWindow is what the producer hands to its channel: on Windows a window handle,
// elsewhere a CNotifyQueue. PostNotifyMessage posts (never sends) one message to it.
//
// CNotifyQueue receives such messages: on Windows it owns a message-only window on a
// thread of its own; elsewhere it is a queue.
//
//   CNotifyQueue notifications;
//   channel.Init(/*isServer=*/true, notifications.Window());
//   NotifyMessage message{};
//   while (notifications.WaitMessage(std::chrono::milliseconds(0), &message)) Handle(message);
//
// Ownership: not movable (the window refers to it); the owner keeps it alive while any
// channel may post to it. Threading: posting from any thread; one reader. Failure:
// posting reports it (the system's last error says why); a message the system could not
// queue is lost, as a full message queue loses a post.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>

#include "platform/annotated_lock.h"
#include "platform/condition_variable.h"
#include "platform/thread_annotations.h"
#include "platform/timeout.h"
#include "platform/windows_types.h"

class CNotifyQueue;

#ifdef _WIN32
using NotifyWindow = HWND;
#else
using NotifyWindow = CNotifyQueue*;
#endif

struct NotifyMessage {
  UINT message;
  std::uintptr_t wParam;
  std::intptr_t lParam;
};

namespace platform {
bool PostNotifyMessage(NotifyWindow window, UINT message, std::uintptr_t wParam, std::intptr_t lParam);
}

class CNotifyQueue {
 public:
  CNotifyQueue();
  ~CNotifyQueue();
  CNotifyQueue(const CNotifyQueue&) = delete;
  CNotifyQueue& operator=(const CNotifyQueue&) = delete;

  // What a channel posts to: stays the same for the queue's life.
  NotifyWindow Window();
  // Takes the oldest message into *message (may be null: dropped), waiting for one up to
  // the timeout (platform::kInfinite: no limit); false when none came.
  bool WaitMessage(std::chrono::milliseconds timeout, NotifyMessage* message);

  // Adds a message for WaitMessage: called by PostNotifyMessage where the queue itself is
  // the target, and by the window on Windows.
  void Post(const NotifyMessage& message);

 private:
  struct State;  // what the system's backend needs besides the message list
  std::unique_ptr<State> m_state;
  CLock m_lock;
  CConditionVariable m_posted;
  std::deque<NotifyMessage> m_messages GUARDED_BY(m_lock);
};
