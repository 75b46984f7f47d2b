// CConditionVariable: a condition variable waited on with the CLockHolder of an annotated
// lock, so that the code around the wait stays under the lock analysis.
//
//   CLockHolder<CLock> hold(m_lock);
//   m_changed.Wait(hold, [this]() REQUIRES(m_lock) { return m_ready; });
//
// The lock is let go during the wait and held again before the predicate is read and
// before the wait returns. A predicate that reads guarded members says REQUIRES(lock).
// WaitFor returns the predicate's last value (false: the time ran out first).
// Ownership: neither copied nor moved. Threading: any thread.
#pragma once

#include <chrono>
#include <condition_variable>

#include "platform/annotated_lock.h"

class CConditionVariable {
 public:
  CConditionVariable() = default;
  CConditionVariable(const CConditionVariable&) = delete;
  CConditionVariable& operator=(const CConditionVariable&) = delete;

  void NotifyAll() { m_changed.notify_all(); }
  void NotifyOne() { m_changed.notify_one(); }

  template <class Lock, class Ready>
  void Wait(CLockHolder<Lock>& holder, Ready ready) {
    m_changed.wait(holder.m_lock, ready);
  }
  template <class Lock, class Rep, class Period, class Ready>
  bool WaitFor(CLockHolder<Lock>& holder, std::chrono::duration<Rep, Period> timeout, Ready ready) {
    return m_changed.wait_for(holder.m_lock, timeout, ready);
  }

 private:
  std::condition_variable_any m_changed;
};
