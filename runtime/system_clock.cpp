#include "runtime/system_clock.h"

#include <chrono>

#include "com/query_answer.h"

namespace {

REFERENCE_TIME MonotonicNow() {
  using Units = std::chrono::duration<REFERENCE_TIME, std::ratio<1, 10000000>>;
  return std::chrono::duration_cast<Units>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

HRESULT CSystemClock::CreateInstance(REFIID riid, void** ppv) { return CreateAndQuery<CSystemClock>(riid, ppv); }

STDMETHODIMP CSystemClock::QueryInterface(REFIID riid, void** ppv) {
  return AnswerQuery(static_cast<IReferenceClock*>(this), riid, ppv, {IID_IUnknown, IID_IReferenceClock});
}

STDMETHODIMP CSystemClock::GetTime(REFERENCE_TIME* pTime) {
  if (pTime == nullptr) return E_POINTER;
  const REFERENCE_TIME now = MonotonicNow();
  REFERENCE_TIME last = m_last.load(std::memory_order_relaxed);
  // Another thread may have answered a later reading in the meantime; never go below it.
  while (now > last) {
    if (m_last.compare_exchange_weak(last, now, std::memory_order_relaxed)) {
      *pTime = now;
      return S_OK;
    }
  }
  *pTime = last;
  return S_FALSE;
}

STDMETHODIMP CSystemClock::AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR* pdwAdviseCookie) {
  if (pdwAdviseCookie == nullptr) return E_POINTER;
  *pdwAdviseCookie = 0;
  return E_NOTIMPL;
}

STDMETHODIMP CSystemClock::AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR* pdwAdviseCookie) {
  if (pdwAdviseCookie == nullptr) return E_POINTER;
  *pdwAdviseCookie = 0;
  return E_NOTIMPL;
}

STDMETHODIMP CSystemClock::Unadvise(DWORD_PTR) { return S_FALSE; }
