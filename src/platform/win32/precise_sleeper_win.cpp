#include "platform/precise_sleeper.h"

#include <windows.h>

#include "platform/native_handle.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace platform {

struct CPreciseSleeper::State {
  CScopedHandle<win32::KernelHandleTraits> timer;
  CScopedHandle<win32::KernelHandleTraits> wake;  // auto-reset: one Wake ends one sleep
  bool highResolution = false;
};

CPreciseSleeper::CPreciseSleeper() : m_state(std::make_unique<State>()) {
  m_state->timer.Reset(
      CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS));
  m_state->highResolution = m_state->timer.IsValid();
  if (!m_state->timer.IsValid()) m_state->timer.Reset(CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS));
  m_state->wake.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
}

CPreciseSleeper::~CPreciseSleeper() = default;

bool CPreciseSleeper::Sleep(std::int64_t nanoseconds) {
  if (nanoseconds <= 0) return WaitForSingleObject(m_state->wake.Get(), 0) != WAIT_OBJECT_0;
  LARGE_INTEGER due{};
  // Negative: relative, in 100 ns units (rounded up, so the sleep is never short).
  due.QuadPart = -((nanoseconds + 99) / 100);
  if (!m_state->timer.IsValid() || !SetWaitableTimer(m_state->timer.Get(), &due, 0, nullptr, nullptr, FALSE)) {
    // No timer: the event's own timed wait, at the system tick's resolution.
    const DWORD ms = static_cast<DWORD>((nanoseconds + 999999) / 1000000);
    return WaitForSingleObject(m_state->wake.Get(), ms) != WAIT_OBJECT_0;
  }
  const HANDLE handles[2] = {m_state->timer.Get(), m_state->wake.Get()};
  const DWORD result = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  if (result == WAIT_OBJECT_0 + 1) {
    CancelWaitableTimer(m_state->timer.Get());
    return false;
  }
  return true;
}

void CPreciseSleeper::Wake() { SetEvent(m_state->wake.Get()); }

bool CPreciseSleeper::HighResolution() const { return m_state->highResolution; }

}  // namespace platform
