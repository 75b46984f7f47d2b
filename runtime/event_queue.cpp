#include "runtime/event_queue.h"

#include <chrono>

namespace {

bool IsCompletion(LONG code) { return code == EC_COMPLETE || code == EC_ERRORABORT || code == EC_USERABORT; }

}  // namespace

template <typename Ready>
bool CEventQueue::WaitUntil(std::unique_lock<std::mutex>& lock, LONG msTimeout, Ready ready) {
  if (msTimeout < 0) {  // INFINITE seen as a signed time-out
    m_changed.wait(lock, ready);
    return true;
  }
  return m_changed.wait_for(lock, std::chrono::milliseconds(msTimeout), ready);
}

void CEventQueue::Post(LONG code, LONG_PTR param1, LONG_PTR param2) {
  {
    const std::lock_guard<std::mutex> hold(m_lock);
    m_events.push_back(Event{code, param1, param2});
    if (IsCompletion(code) && m_completion == 0) m_completion = code;
  }
  m_changed.notify_all();
}

HRESULT CEventQueue::Get(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG msTimeout) {
  if (code == nullptr || param1 == nullptr || param2 == nullptr) return E_POINTER;
  std::unique_lock<std::mutex> lock(m_lock);
  if (!WaitUntil(lock, msTimeout, [this] { return !m_events.empty(); })) {
    *code = 0;
    *param1 = 0;
    *param2 = 0;
    return E_ABORT;
  }
  const Event event = m_events.front();
  m_events.pop_front();
  *code = event.code;
  *param1 = event.param1;
  *param2 = event.param2;
  return S_OK;
}

HRESULT CEventQueue::WaitForCompletion(LONG msTimeout, LONG* code) {
  if (code == nullptr) return E_POINTER;
  *code = 0;
  std::unique_lock<std::mutex> lock(m_lock);
  const bool settled = WaitUntil(lock, msTimeout, [this] { return m_graphState != State_Running || m_completion != 0; });
  if (m_graphState != State_Running) return VFW_E_WRONG_STATE;
  if (!settled) return E_ABORT;
  *code = m_completion;
  return S_OK;
}

void CEventQueue::SetGraphState(FILTER_STATE state) {
  {
    const std::lock_guard<std::mutex> hold(m_lock);
    m_graphState = state;
    if (state == State_Stopped) m_completion = 0;
  }
  m_changed.notify_all();
}
