// CEventQueue: the event queue behind a filter graph's IMediaEventSink and IMediaEvent.
//
// Post appends an event (code and two parameters) and never blocks for long: filters
// post from their own worker threads, also while the graph waits for those threads to
// end. Get takes the oldest event, waiting up to a time-out (INFINITE, or any negative
// value, waits without limit): S_OK, or E_ABORT (outputs zeroed) when none came in time.
// Parameters are plain numbers here: nothing in them is owned by the queue.
//
// Completion: EC_COMPLETE, EC_ERRORABORT and EC_USERABORT also record the first such
// code since the graph last stopped. WaitForCompletion waits for that record while the
// graph runs: S_OK with the code; E_ABORT with code 0 when the time-out passes;
// VFW_E_WRONG_STATE with code 0 when the graph is not running, or stops running while
// the caller waits. It does not take events from the queue, so an application that also
// reads events sees the completion event there too. Every EC_COMPLETE counts (the queue
// does not wait for one from each renderer).
//
// Threading: every method on any thread. The queue's lock is a leaf: nothing is called
// while it is held, so it may be taken under the graph's lock and from filter threads
// that the graph's lock holder waits for.
#pragma once

#include <deque>

#include "platform/condition_variable.h"
#include "platform/dshow_types.h"

class CEventQueue {
 public:
  CEventQueue() = default;
  CEventQueue(const CEventQueue&) = delete;
  CEventQueue& operator=(const CEventQueue&) = delete;

  void Post(LONG code, LONG_PTR param1, LONG_PTR param2);
  HRESULT Get(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG msTimeout);
  HRESULT WaitForCompletion(LONG msTimeout, LONG* code);

  // The graph's state as WaitForCompletion sees it. Leaving State_Running wakes waiters;
  // entering State_Stopped forgets the recorded completion.
  void SetGraphState(FILTER_STATE state);

 private:
  struct Event {
    LONG code;
    LONG_PTR param1;
    LONG_PTR param2;
  };

  // Waits on m_changed until ready() holds or the time-out passes; true when ready.
  template <typename Ready>
  bool WaitUntil(CLockHolder<CLock>& hold, LONG msTimeout, Ready ready) REQUIRES(m_lock);

  CLock m_lock;
  CConditionVariable m_changed;
  std::deque<Event> m_events GUARDED_BY(m_lock);
  FILTER_STATE m_graphState GUARDED_BY(m_lock) = State_Stopped;
  LONG m_completion GUARDED_BY(m_lock) = 0;  // 0: no completion since the last stop
};
