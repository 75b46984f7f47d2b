// CStaticLock: a mutual-exclusion lock that is constant-initialised, for objects that
// must work before any dynamic initialisation has run (the module's log is written from
// its load-time start-up). std::mutex cannot be constant-initialised with every
// toolchain this builds with.
//
// Waiters block (std::atomic_flag::wait) rather than spin. Meets BasicLockable, so it is
// used through std::lock_guard. Not recursive: a thread that holds it must not take it
// again. No order among waiters.
// Ownership: neither copied nor moved. Threading: lock and unlock from any thread.
#pragma once

#include <atomic>

class CStaticLock {
 public:
  constexpr CStaticLock() = default;
  CStaticLock(const CStaticLock&) = delete;
  CStaticLock& operator=(const CStaticLock&) = delete;

  void lock() noexcept {
    while (m_held.test_and_set(std::memory_order_acquire)) m_held.wait(true, std::memory_order_relaxed);
  }
  void unlock() noexcept {
    m_held.clear(std::memory_order_release);
    m_held.notify_one();
  }

 private:
  std::atomic_flag m_held;  // clear: free
};
