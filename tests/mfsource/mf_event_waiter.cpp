#include "mfsource/mf_event_waiter.h"

#include <utility>

CComPtr<CMfEventWaiter> CMfEventWaiter::Create(IMFMediaEventGenerator* generator) {
  return CComPtr<CMfEventWaiter>(new CMfEventWaiter(generator), kAdoptRef);
}

CComPtr<IMFMediaEvent> CMfEventWaiter::Next(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_lock);
  if (!m_outstanding) {
    m_arrived = false;
    m_outstanding = true;
    lock.unlock();
    const HRESULT hr = m_generator->BeginGetEvent(this, nullptr);
    lock.lock();
    if (FAILED(hr)) {
      m_outstanding = false;
      m_status = hr;
      return {};
    }
  }
  if (!m_changed.wait_for(lock, timeout, [this] { return m_arrived; })) {
    m_status = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    return {};
  }
  m_outstanding = false;
  m_arrived = false;
  return std::move(m_event);
}

HRESULT CMfEventWaiter::Status() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_status;
}

HRESULT CMfEventWaiter::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IMFAsyncCallback) {
    *object = static_cast<IMFAsyncCallback*>(this);
    AddRef();  // handed to the caller
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG CMfEventWaiter::Release() {
  const ULONG refs = --m_refs;
  if (refs == 0) delete this;
  return refs;
}

HRESULT CMfEventWaiter::GetParameters(DWORD* /*flags*/, DWORD* /*queue*/) { return E_NOTIMPL; }

HRESULT CMfEventWaiter::Invoke(IMFAsyncResult* result) {
  CComPtr<IMFMediaEvent> event;
  const HRESULT hr = m_generator->EndGetEvent(result, event.Receive());
  std::lock_guard<std::mutex> lock(m_lock);
  m_event = std::move(event);
  m_status = hr;
  m_arrived = true;
  m_changed.notify_all();
  return S_OK;
}
