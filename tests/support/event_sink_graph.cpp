#include "support/event_sink_graph.h"

#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "com/com_ptr.h"
#include "framework/media_type.h"

namespace testing_support {

STDMETHODIMP CEventSinkGraph::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IFilterGraph)) {
    *ppv = static_cast<IFilterGraph*>(this);
  } else if (IsEqualIID(riid, IID_IMediaEventSink)) {
    *ppv = static_cast<IMediaEventSink*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();  // The caller's reference (QueryInterface hands one over).
  return S_OK;
}

void CEventSinkGraph::FailReconnect(HRESULT result, bool dropConnection) {
  m_reconnectResult.store(result);
  m_dropConnection.store(dropConnection);
}

STDMETHODIMP CEventSinkGraph::Reconnect(IPin* ppin) {
  if (ppin == nullptr) return E_POINTER;
  ++m_reconnects;
  CComPtr<IPin> peer;
  if (ppin->ConnectedTo(peer.Receive()) != S_OK || !peer) return VFW_E_NOT_CONNECTED;
  PIN_DIRECTION direction = PINDIR_INPUT;
  ppin->QueryDirection(&direction);
  IPin* out = direction == PINDIR_OUTPUT ? ppin : peer.Get();
  IPin* in = direction == PINDIR_OUTPUT ? peer.Get() : ppin;
  HRESULT hr = m_reconnectResult.load();
  if (FAILED(hr)) {
    if (m_dropConnection.load()) {
      in->Disconnect();
      out->Disconnect();
    }
    return hr;
  }
  CMediaType old;
  out->ConnectionMediaType(&old);
  hr = in->Disconnect();
  if (SUCCEEDED(hr)) {
    out->Disconnect();
    hr = out->Connect(in, nullptr);
    if (FAILED(hr)) out->Connect(in, &old);
  }
  return hr;
}

STDMETHODIMP CEventSinkGraph::Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_events.push_back(Event{EventCode, EventParam1, EventParam2});
  m_arrived.notify_all();
  return S_OK;
}

std::vector<CEventSinkGraph::Event> CEventSinkGraph::Events() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_events;
}

std::vector<long> CEventSinkGraph::Codes() const {
  std::vector<long> codes;
  for (const Event& event : Events()) codes.push_back(event.code);
  return codes;
}

bool CEventSinkGraph::WaitForEvent(long code, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> hold(m_lock);
  return m_arrived.wait_for(hold, timeout, [&] {
    for (const Event& event : m_events) {
      if (event.code == code) return true;
    }
    return false;
  });
}

HRESULT CallWithin(std::chrono::milliseconds timeout, const std::function<HRESULT()>& operation) {
  std::packaged_task<HRESULT()> task(operation);
  std::future<HRESULT> result = task.get_future();
  std::thread runner(std::move(task));
  if (result.wait_for(timeout) != std::future_status::ready) {
    std::fprintf(stderr, "an operation did not return within %lld ms: giving up\n",
                 static_cast<long long>(timeout.count()));
    std::fflush(stderr);
    std::abort();
  }
  runner.join();
  return result.get();
}

}  // namespace testing_support
