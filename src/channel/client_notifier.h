// CClientNotifier: the producer's thread that tells its window how many consumers are
// registered. It waits for the client event and, whenever the count it reads differs from
// the last one it saw, posts channel::kClientCountMessage with the new count (wParam).
//
//   notifier.Start(sync.ClientEvent(), window, [this] { return ReadClientCount(); });
//   ...
//   notifier.Stop();   // without holding any lock that readCount takes
//
// A count that cannot be read (the access mutex held by a stopped peer) is not a count of
// 0: nothing is posted then. Ownership: owns its thread. Threading: Start and Stop on the
// owner's set-up and shut-down path; the client event stays open until Stop returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>

#include "platform/named_sync.h"
#include "platform/notify_queue.h"

class CClientNotifier {
 public:
  using CountReader = std::function<std::optional<std::int32_t>()>;

  CClientNotifier() = default;
  ~CClientNotifier() { Stop(); }
  CClientNotifier(const CClientNotifier&) = delete;
  CClientNotifier& operator=(const CClientNotifier&) = delete;

  // False when a thread runs already or none could be started. window may be null (the
  // count is then only followed).
  bool Start(CNamedEvent& clientEvent, NotifyWindow window, CountReader readCount);
  // Ends the thread and waits for it. The client event is shared with every other
  // producer thread on the machine, so one wake-up may be taken by another process: it is
  // set again every 100 ms until this thread has ended.
  void Stop();

 private:
  void Run(CNamedEvent* clientEvent, NotifyWindow window, const CountReader& readCount);

  std::thread m_thread;
  CNamedEvent* m_clientEvent = nullptr;
  std::atomic<bool> m_stopping{false};
  std::int32_t m_lastCount = 0;  // the thread's alone while it runs
};
