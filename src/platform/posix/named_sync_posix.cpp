#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <functional>
#include <new>
#include <utility>

#include "platform/named_sync.h"
#include "platform/posix/shared_segment.h"

namespace {

using platform::posix::CSharedSegment;
using platform::posix::SegmentAttachment;
using platform::posix::SegmentHold;
using platform::posix::SegmentKind;

// A mutex segment: a robust, recursive, process-shared mutex. The kernel marks it when
// its owner dies, and the next locker is told (EOWNERDEAD). The segment holds nothing
// else: which thread holds it through an object is kept in that object (SegmentHold), so
// every build that uses this layout shares the mutex.
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

// Attaches the named segment of kind and, on success, makes object hold it (the previous
// holder is dropped after the new one is taken).
LONG AttachTo(platform::CNamedObjectHandle* object, SegmentKind kind, const std::wstring& name, bool create,
              std::size_t size, const std::function<bool(void*)>& initialise, bool* created) {
  const CSharedSegment segment(kind, name);
  SegmentAttachment attachment;
  const LONG result = segment.Attach(create, create ? size : 0, size, initialise, &attachment);
  if (result != ERROR_SUCCESS) return result;
  object->Reset(SegmentHold::Of(segment, attachment, size));
  if (created != nullptr) *created = attachment.created;
  return ERROR_SUCCESS;
}

template <typename Shared>
Shared* SharedOf(platform::CNamedObjectHandle& object) {
  if (!object.IsValid()) {
    errno = EBADF;
    return nullptr;
  }
  return static_cast<Shared*>(object.Get().view);
}

}  // namespace

// --- CNamedMutex -----------------------------------------------------------------------

LONG CNamedMutex::Open(const std::wstring& name) {
  return AttachTo(&m_object, SegmentKind::kMutex, name, false, sizeof(MutexShared), nullptr, nullptr);
}

LONG CNamedMutex::Create(const std::wstring& name, bool* created) {
  return AttachTo(&m_object, SegmentKind::kMutex, name, true, sizeof(MutexShared), InitialiseMutex, created);
}

void CNamedMutex::Close() { m_object.Reset(); }

bool CNamedMutex::IsOpen() const { return m_object.IsValid(); }

WaitResult CNamedMutex::Wait(std::chrono::milliseconds timeout) {
  auto* shared = SharedOf<MutexShared>(m_object);
  if (shared == nullptr) return WaitResult::kFailed;
  const DWORD timeoutMs = platform::WaitMilliseconds(timeout);
  int r = 0;
  if (timeoutMs == INFINITE) r = pthread_mutex_lock(&shared->mutex);
  else if (timeoutMs == 0) r = pthread_mutex_trylock(&shared->mutex);
  else r = TimedLock(&shared->mutex, timeoutMs);
  if (r != 0 && r != EOWNERDEAD) {
    if (r == EBUSY || r == ETIMEDOUT) return WaitResult::kTimeout;
    errno = r;
    return WaitResult::kFailed;
  }
  // The owner died holding it; the caller owns it now and what it guarded may be half
  // done, which kAbandoned tells.
  if (r == EOWNERDEAD) pthread_mutex_consistent(&shared->mutex);
  // Only this thread ever writes its own tag, and only while it holds the mutex: finding
  // it means this acquisition is a repeat one (unless the acquisition took over from a
  // dead owner, which is always a first one).
  SegmentHold& hold = m_object.Get();
  const std::uint64_t self = platform::posix::ThreadTag();
  if (r == 0 && hold.LockOwner().load() == self) {
    hold.LockDepth().fetch_add(1);
  } else {
    hold.LockDepth().store(1);
    hold.LockOwner().store(self);
  }
  return r == 0 ? WaitResult::kAcquired : WaitResult::kAbandoned;
}

bool CNamedMutex::Release() {
  auto* shared = SharedOf<MutexShared>(m_object);
  if (shared == nullptr) return false;
  // Refused before the mutex is touched: a thread that does not hold it through this
  // object (another thread, or a thread of another process holds it, or nobody) must
  // change nothing, and an unlock attempt would reach the thread checker as an unlock of
  // a foreign mutex.
  SegmentHold& hold = m_object.Get();
  const std::uint64_t self = platform::posix::ThreadTag();
  if (hold.LockOwner().load() != self) {
    errno = EPERM;
    return false;
  }
  // Given up before the unlock: right after it another thread may acquire the mutex
  // through this object and record itself.
  const bool last = hold.LockDepth().fetch_sub(1) == 1;
  if (last) hold.LockOwner().store(0);
  const int r = pthread_mutex_unlock(&shared->mutex);
  if (r != 0) {
    if (last) hold.LockOwner().store(self);
    hold.LockDepth().fetch_add(1);
    errno = r;
    return false;
  }
  return true;
}

// --- CNamedEvent -----------------------------------------------------------------------

LONG CNamedEvent::Open(const std::wstring& name) {
  return AttachTo(&m_object, SegmentKind::kEvent, name, false, sizeof(EventShared), nullptr, nullptr);
}

LONG CNamedEvent::Create(const std::wstring& name, bool manualReset, bool initialState, bool* created) {
  const auto initialise = [manualReset, initialState](void* memory) {
    auto* shared = new (memory) EventShared{};
    shared->manualReset.store(manualReset ? 1 : 0);
    shared->signaled.store(initialState ? 1 : 0);
    return true;
  };
  return AttachTo(&m_object, SegmentKind::kEvent, name, true, sizeof(EventShared), initialise, created);
}

void CNamedEvent::Close() { m_object.Reset(); }

bool CNamedEvent::IsOpen() const { return m_object.IsValid(); }

bool CNamedEvent::Set() {
  auto* shared = SharedOf<EventShared>(m_object);
  if (shared == nullptr) return false;
  shared->signaled.store(1);
  // One waiter for an automatic-reset event: the one that takes the signal.
  FutexWake(&shared->signaled, shared->manualReset.load(std::memory_order_relaxed) != 0 ? INT_MAX : 1);
  return true;
}

bool CNamedEvent::Reset() {
  auto* shared = SharedOf<EventShared>(m_object);
  if (shared == nullptr) return false;
  shared->signaled.store(0);
  return true;
}

bool CNamedEvent::Wait(std::chrono::milliseconds timeout) {
  auto* shared = SharedOf<EventShared>(m_object);
  if (shared == nullptr) return false;
  const int saved = errno;
  const bool manual = shared->manualReset.load(std::memory_order_relaxed) != 0;
  const DWORD timeoutMs = platform::WaitMilliseconds(timeout);
  const bool infinite = timeoutMs == INFINITE;
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
