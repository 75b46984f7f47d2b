#include "runtime/event_queue.h"

#include <chrono>

namespace {

bool IsCompletion(LONG code) { return code == EC_COMPLETE || code == EC_ERRORABORT || code == EC_USERABORT; }

}  // namespace

template <typename Ready>
bool CEventQueue::WaitUntil(CLockHolder<CLock>& hold, LONG msTimeout, Ready ready) {
  if (msTimeout < 0) {  // INFINITE seen as a signed time-out
    m_changed.Wait(hold, ready);
    return true;
  }
  return m_changed.WaitFor(hold, std::chrono::milliseconds(msTimeout), ready);
}

void CEventQueue::Post(LONG code, LONG_PTR param1, LONG_PTR param2) {
  {
    CLockHolder<CLock> hold(m_lock);
    m_events.push_back(Event{code, param1, param2});
    if (IsCompletion(code) && m_completion == 0) m_completion = code;
  }
  m_changed.NotifyAll();
}

HRESULT CEventQueue::Get(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG msTimeout) {
  if (code == nullptr || param1 == nullptr || param2 == nullptr) return E_POINTER;
  CLockHolder<CLock> hold(m_lock);
  if (!WaitUntil(hold, msTimeout, [this]() REQUIRES(m_lock) { return !m_events.empty(); })) {
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
  CLockHolder<CLock> hold(m_lock);
  const bool settled = WaitUntil(hold, msTimeout, [this]() REQUIRES(m_lock) { return m_graphState != State_Running || m_completion != 0; });
  if (m_graphState != State_Running) return VFW_E_WRONG_STATE;
  if (!settled) return E_ABORT;
  *code = m_completion;
  return S_OK;
}

void CEventQueue::SetGraphState(FILTER_STATE state) {
  {
    CLockHolder<CLock> hold(m_lock);
    m_graphState = state;
    if (state == State_Stopped) m_completion = 0;
  }
  m_changed.NotifyAll();
}
