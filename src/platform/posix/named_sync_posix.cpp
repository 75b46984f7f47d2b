#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <new>
#include <utility>

#include "platform/named_sync.h"
#include "platform/posix/shared_segment.h"

namespace {

using platform::posix::CSharedSegment;
using platform::posix::SegmentAttachment;
using platform::posix::SegmentKind;

// A mutex segment: a robust, recursive, process-shared mutex. The kernel marks it when
// its owner dies, and the next locker is told (EOWNERDEAD).
struct MutexShared {
  pthread_mutex_t mutex;
};

// An event segment. The state word is also the futex waiters sleep on: with no other
// shared state, a process that dies at any point (waiting, setting) leaves nothing
// inconsistent and nobody blocked (a condition variable's internal counts would be
// left behind by a waiter killed inside it and stall later signallers).
struct EventShared {
  std::atomic<std::uint32_t> signaled;
  std::atomic<std::uint32_t> manualReset;
};
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the event's words are plain 32-bit futex words");
static_assert(sizeof(EventShared) == 8 && offsetof(EventShared, manualReset) == 4,
              "every process that opens the event sees the same two words");

int Descriptor(std::intptr_t handle) { return static_cast<int>(handle) - 1; }

timespec Now(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return now;
}

timespec AddMs(timespec t, std::int64_t ms) {
  t.tv_sec += static_cast<time_t>(ms / 1000);
  t.tv_nsec += static_cast<long>((ms % 1000) * 1000000);
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

std::int64_t MsUntil(const timespec& deadline) {
  const timespec now = Now(CLOCK_MONOTONIC);
  const std::int64_t ns = (static_cast<std::int64_t>(deadline.tv_sec) - now.tv_sec) * 1000000000LL +
                          (deadline.tv_nsec - now.tv_nsec);
  return ns <= 0 ? 0 : (ns + 999999) / 1000000;
}

bool InitialiseMutex(void* memory) {
  pthread_mutexattr_t attributes;
  int r = pthread_mutexattr_init(&attributes);
  if (r == 0) {
    r = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    if (r == 0) r = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    if (r == 0) r = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    if (r == 0) r = pthread_mutex_init(&static_cast<MutexShared*>(memory)->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  if (r != 0) errno = r;
  return r == 0;
}

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadChecker = true;
#else
constexpr bool kThreadChecker = false;
#endif

// Locks with a deadline on the monotonic clock. The mutex only takes wall-clock deadlines
// (and the thread checker knows only that call), so it waits in short slices and
// re-reads the monotonic clock: a wall-clock step costs at most one slice.
int TimedLock(pthread_mutex_t* mutex, DWORD timeoutMs) {
  constexpr std::int64_t kSliceMs = 200;
  const timespec deadline = AddMs(Now(CLOCK_MONOTONIC), timeoutMs);
  if constexpr (kThreadChecker) {
    // The thread checker's timed-lock wrapper drops an owner-died result (it then takes
    // the caller for a non-owner); its try-lock wrapper handles it, so checked builds poll.
    for (;;) {
      const int r = pthread_mutex_trylock(mutex);
      if (r != EBUSY || MsUntil(deadline) == 0) return r;
      timespec pause{0, 1000000};
      nanosleep(&pause, nullptr);
    }
  }
  for (;;) {
    const std::int64_t left = MsUntil(deadline);
    if (left == 0) return pthread_mutex_trylock(mutex);
    const timespec slice = AddMs(Now(CLOCK_REALTIME), left < kSliceMs ? left : kSliceMs);
    const int r = pthread_mutex_timedlock(mutex, &slice);
    if (r != ETIMEDOUT) return r;
  }
}

std::uint32_t* FutexWord(std::atomic<std::uint32_t>* word) { return reinterpret_cast<std::uint32_t*>(word); }

// Sleeps while *word is expected, until woken or the monotonic deadline (null: none).
long FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected, const timespec* deadline) {
  return ::syscall(SYS_futex, FutexWord(word), FUTEX_WAIT_BITSET, expected, deadline, nullptr,
                   FUTEX_BITSET_MATCH_ANY);
}

void FutexWake(std::atomic<std::uint32_t>* word, int count) {
  ::syscall(SYS_futex, FutexWord(word), FUTEX_WAKE, count, nullptr, nullptr, 0);
}

}  // namespace

// --- CNamedMutex -----------------------------------------------------------------------

LONG CNamedMutex::Open(const std::wstring& name) {
  SegmentAttachment attachment;
  const LONG result =
      CSharedSegment(SegmentKind::kMutex, name).Attach(false, 0, sizeof(MutexShared), nullptr, &attachment);
  if (result != ERROR_SUCCESS) return result;
  Close();
  m_handle = static_cast<std::intptr_t>(attachment.descriptor) + 1;
  m_shared = attachment.view;
  m_name = name;
  return ERROR_SUCCESS;
}

LONG CNamedMutex::Create(const std::wstring& name, bool* created) {
  SegmentAttachment attachment;
  const LONG result = CSharedSegment(SegmentKind::kMutex, name)
                          .Attach(true, sizeof(MutexShared), sizeof(MutexShared), InitialiseMutex, &attachment);
  if (result != ERROR_SUCCESS) return result;
  Close();
  m_handle = static_cast<std::intptr_t>(attachment.descriptor) + 1;
  m_shared = attachment.view;
  m_name = name;
  if (created != nullptr) *created = attachment.created;
  return ERROR_SUCCESS;
}

void CNamedMutex::Close() {
  if (m_handle == 0) return;
  // A locked robust mutex is linked into its owner thread's list through this mapping,
  // and the kernel writes to it when that thread ends: unmapping it would leave both
  // pointing at freed address space. Such a mapping stays until the process ends (as on
  // Windows, where the owner keeps the mutex until it releases it or ends).
  void* view = m_acquired.load() > 0 ? nullptr : m_shared;
  CSharedSegment(SegmentKind::kMutex, m_name).Detach(Descriptor(m_handle), view, sizeof(MutexShared));
  m_handle = 0;
  m_shared = nullptr;
  m_acquired = 0;
  m_name.clear();
}

bool CNamedMutex::IsOpen() const { return m_handle != 0; }

WaitResult CNamedMutex::Wait(DWORD timeoutMs) {
  auto* shared = static_cast<MutexShared*>(m_shared);
  if (shared == nullptr) {
    errno = EBADF;
    return WaitResult::kFailed;
  }
  int r = 0;
  if (timeoutMs == platform::kInfinite) r = pthread_mutex_lock(&shared->mutex);
  else if (timeoutMs == 0) r = pthread_mutex_trylock(&shared->mutex);
  else r = TimedLock(&shared->mutex, timeoutMs);
  switch (r) {
    case 0:
      ++m_acquired;
      return WaitResult::kAcquired;
    case EOWNERDEAD:
      // The owner died holding it; the caller owns it now and what it guarded may be half
      // done, which kAbandoned tells.
      pthread_mutex_consistent(&shared->mutex);
      ++m_acquired;
      return WaitResult::kAbandoned;
    case EBUSY:
    case ETIMEDOUT:
      return WaitResult::kTimeout;
    default:
      errno = r;
      return WaitResult::kFailed;
  }
}

bool CNamedMutex::Release() {
  auto* shared = static_cast<MutexShared*>(m_shared);
  if (shared == nullptr) {
    errno = EBADF;
    return false;
  }
  // The owner's thread id is in the mutex; refusing others here (as unlock itself would)
  // keeps a misuse from reaching the thread checker as an unlock of a foreign mutex.
  if (std::atomic_ref<int>(shared->mutex.__data.__owner).load(std::memory_order_relaxed) != ::gettid()) {
    errno = EPERM;
    return false;
  }
  const int r = pthread_mutex_unlock(&shared->mutex);
  if (r != 0) {
    errno = r;  // EPERM: the calling thread does not own it
    return false;
  }
  --m_acquired;
  return true;
}

// --- CNamedEvent -----------------------------------------------------------------------

LONG CNamedEvent::Open(const std::wstring& name) {
  SegmentAttachment attachment;
  const LONG result =
      CSharedSegment(SegmentKind::kEvent, name).Attach(false, 0, sizeof(EventShared), nullptr, &attachment);
  if (result != ERROR_SUCCESS) return result;
  Close();
  m_handle = static_cast<std::intptr_t>(attachment.descriptor) + 1;
  m_shared = attachment.view;
  m_name = name;
  return ERROR_SUCCESS;
}

LONG CNamedEvent::Create(const std::wstring& name, bool manualReset, bool initialState, bool* created) {
  const auto initialise = [manualReset, initialState](void* memory) {
    auto* shared = new (memory) EventShared{};
    shared->manualReset.store(manualReset ? 1 : 0);
    shared->signaled.store(initialState ? 1 : 0);
    return true;
  };
  SegmentAttachment attachment;
  const LONG result = CSharedSegment(SegmentKind::kEvent, name)
                          .Attach(true, sizeof(EventShared), sizeof(EventShared), initialise, &attachment);
  if (result != ERROR_SUCCESS) return result;
  Close();
  m_handle = static_cast<std::intptr_t>(attachment.descriptor) + 1;
  m_shared = attachment.view;
  m_name = name;
  if (created != nullptr) *created = attachment.created;
  return ERROR_SUCCESS;
}

void CNamedEvent::Close() {
  if (m_handle == 0) return;
  CSharedSegment(SegmentKind::kEvent, m_name).Detach(Descriptor(m_handle), m_shared, sizeof(EventShared));
  m_handle = 0;
  m_shared = nullptr;
  m_name.clear();
}

bool CNamedEvent::IsOpen() const { return m_handle != 0; }

bool CNamedEvent::Set() {
  auto* shared = static_cast<EventShared*>(m_shared);
  if (shared == nullptr) {
    errno = EBADF;
    return false;
  }
  shared->signaled.store(1);
  // One waiter for an automatic-reset event: the one that takes the signal.
  FutexWake(&shared->signaled, shared->manualReset.load(std::memory_order_relaxed) != 0 ? INT_MAX : 1);
  return true;
}

bool CNamedEvent::Reset() {
  auto* shared = static_cast<EventShared*>(m_shared);
  if (shared == nullptr) {
    errno = EBADF;
    return false;
  }
  shared->signaled.store(0);
  return true;
}

bool CNamedEvent::Wait(DWORD timeoutMs) {
  auto* shared = static_cast<EventShared*>(m_shared);
  if (shared == nullptr) {
    errno = EBADF;
    return false;
  }
  const int saved = errno;
  const bool manual = shared->manualReset.load(std::memory_order_relaxed) != 0;
  const bool infinite = timeoutMs == platform::kInfinite;
  const timespec deadline = AddMs(Now(CLOCK_MONOTONIC), infinite ? 0 : timeoutMs);
  for (;;) {
    std::uint32_t state = shared->signaled.load();
    if (state != 0) {
      // An automatic-reset event passes the one waiter whose exchange takes the signal.
      if (manual || shared->signaled.compare_exchange_strong(state, 0)) {
        errno = saved;
        return true;
      }
      continue;
    }
    if (!infinite && MsUntil(deadline) == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    // Returns at once when the word is no longer 0; wake-ups without a signal just loop.
    if (FutexWait(&shared->signaled, 0, infinite ? nullptr : &deadline) != 0 && errno != EAGAIN &&
        errno != EINTR && errno != ETIMEDOUT)
      return false;
  }
}

namespace platform {

void ApplyLowIntegrityLabel(const std::wstring&, KernelObjectKind) {}

}  // namespace platform
