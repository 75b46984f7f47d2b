#include "platform/precise_sleeper.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {

struct CPreciseSleeper::State {
  std::mutex lock;
  std::condition_variable woken;
  bool wake = false;
};

CPreciseSleeper::CPreciseSleeper() : m_state(std::make_unique<State>()) {}
CPreciseSleeper::~CPreciseSleeper() = default;

bool CPreciseSleeper::Sleep(std::int64_t nanoseconds) {
  std::unique_lock<std::mutex> hold(m_state->lock);
  if (nanoseconds > 0)
    m_state->woken.wait_for(hold, std::chrono::nanoseconds(nanoseconds), [this] { return m_state->wake; });
  const bool woken = m_state->wake;
  m_state->wake = false;
  return !woken;
}

void CPreciseSleeper::Wake() {
  {
    std::lock_guard<std::mutex> hold(m_state->lock);
    m_state->wake = true;
  }
  m_state->woken.notify_all();
}

bool CPreciseSleeper::HighResolution() const { return true; }

}  // namespace platform
