// CAMEvent: an event inside one process, in manual-reset or auto-reset form.
//
// A manual-reset event stays set until Reset; every waiter passes while it is set. An
// auto-reset event lets exactly one wait through per Set and clears itself as that wait
// returns; a Set with no waiter is kept for the next one. Check tests without waiting
// (and, on an auto-reset event, consumes the set state like a wait).
//
// Threading: every operation may be called from any thread. Waits have no time limit
// unless a timeout is given. Nothing can fail: the event exists for the object's life.
#pragma once

#include "platform/condition_variable.h"
#include "platform/windows_types.h"

class CAMEvent {
 public:
  explicit CAMEvent(bool fManualReset = false) : m_manualReset(fManualReset) {}
  CAMEvent(const CAMEvent&) = delete;
  CAMEvent& operator=(const CAMEvent&) = delete;

  void Set();
  void Reset();
  // Waits until the event is set (INFINITE: no limit); true when it was.
  bool Wait(DWORD dwTimeoutMs = INFINITE);
  // Whether the event is set, without waiting.
  bool Check() { return Wait(0); }

 private:
  CLock m_lock;
  CConditionVariable m_changed;
  bool m_set GUARDED_BY(m_lock) = false;
  const bool m_manualReset;
};
