#include "channel/client_notifier.h"

#include <chrono>

#include "channel/frame_region.h"
#include "platform/annotated_lock.h"
#include "platform/condition_variable.h"
#include "platform/timeout.h"

bool CClientNotifier::Start(CNamedEvent& clientEvent, NotifyWindow window, CountReader readCount) {
  if (m_thread.joinable()) return false;
  m_stopping = false;
  m_clientEvent = &clientEvent;
  try {
    m_thread = std::thread(&CClientNotifier::Run, this, &clientEvent, window, std::move(readCount));
  } catch (...) {
    return false;
  }
  return true;
}

void CClientNotifier::Run(CNamedEvent* clientEvent, NotifyWindow window, const CountReader& readCount) {
  for (;;) {
    const bool signalled = clientEvent->Wait(platform::kInfinite);
    if (m_stopping) return;
    if (!signalled) return;  // the event is broken; waiting again would spin
    const std::optional<std::int32_t> count = readCount();
    if (!count.has_value() || *count == m_lastCount) continue;
    m_lastCount = *count;
    if (window == nullptr) continue;
    platform::PostNotifyMessage(window, channel::kClientCountMessage,
                                static_cast<std::uintptr_t>(static_cast<std::uint32_t>(*count)), 0);
  }
}

void CClientNotifier::Stop() {
  if (!m_thread.joinable()) return;
  m_stopping = true;
  CLock doneLock;
  CConditionVariable doneSignal;
  bool done = false;
  std::thread joiner([&] {
    m_thread.join();
    CLockHolder<CLock> guard(doneLock);
    done = true;
    doneSignal.NotifyAll();
  });
  {
    CLockHolder<CLock> guard(doneLock);
    do {
      m_clientEvent->Set();
    } while (!doneSignal.WaitFor(guard, std::chrono::milliseconds(100), [&] { return done; }));
  }
  joiner.join();
  m_clientEvent = nullptr;
}
