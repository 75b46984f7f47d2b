// CAnnotatedLock<Mutex>: a standard mutex that clang's thread-safety analysis knows as a
// capability, so members can say GUARDED_BY(m_lock) and functions REQUIRES(m_lock); and
// CLockHolder, the scoped holder the analysis follows (std::lock_guard is invisible to it).
//
//   CRecursiveLock m_lock;
//   std::int32_t m_width GUARDED_BY(m_lock);
//   ...
//   CLockHolder<CRecursiveLock> hold(m_lock);
//   m_width = 640;
//
// Meets BasicLockable and Lockable. A CConditionVariable waits with a CLockHolder, so the
// analysis follows the lock through the wait (std::unique_lock it would not follow).
// Recursive when Mutex is. Ownership: neither copied nor moved.
#pragma once

#include <mutex>

#include "platform/thread_annotations.h"

template <class Mutex>
class CAPABILITY("mutex") CAnnotatedLock {
 public:
  CAnnotatedLock() = default;
  CAnnotatedLock(const CAnnotatedLock&) = delete;
  CAnnotatedLock& operator=(const CAnnotatedLock&) = delete;

  void lock() ACQUIRE() { m_mutex.lock(); }
  void unlock() RELEASE() { m_mutex.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

  // Tells the analysis that the caller holds this lock where it cannot see it (a lock
  // taken through a pointer the caller was handed). Checks nothing at run time.
  void AssertHeld() const AMBERLINE_THREAD_ANNOTATION(assert_capability(this)) {}

 private:
  Mutex m_mutex;
};

using CLock = CAnnotatedLock<std::mutex>;
using CRecursiveLock = CAnnotatedLock<std::recursive_mutex>;

template <class Lock>
class SCOPED_CAPABILITY CLockHolder {
 public:
  explicit CLockHolder(Lock& lock) ACQUIRE(lock) : m_lock(lock) { m_lock.lock(); }
  ~CLockHolder() RELEASE() { m_lock.unlock(); }
  CLockHolder(const CLockHolder&) = delete;
  CLockHolder& operator=(const CLockHolder&) = delete;

 private:
  friend class CConditionVariable;
  Lock& m_lock;
};
