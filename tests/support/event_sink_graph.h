// CEventSinkGraph: the smallest filter graph a filter can join: it answers IFilterGraph
// and IMediaEventSink, and records the events the filters post, so that tests can wait
// for them with a deadline. Of the graph operations only Reconnect works: it
// disconnects both ends of a pin's connection and connects them again with any type the
// pins agree on now, restoring the old type when that fails (FailReconnect scripts a
// graph that cannot reconnect); every other one answers E_NOTIMPL.
//
// Ownership: lives on the test's stack and must outlive every filter joined to it (a
// filter holds its graph without a reference); reference counting is kept but never
// deletes. Threading: events arrive on worker threads; the record is behind a lock.
//
// CallWithin runs an operation that must not hang (a Stop that waits for a worker) on a
// thread of its own; when it has not returned by the deadline the test program is
// ended, since the operation cannot be abandoned.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/dshow_types.h"

namespace testing_support {

class CEventSinkGraph final : public IFilterGraph, public IMediaEventSink {
 public:
  struct Event {
    long code;
    LONG_PTR param1;
    LONG_PTR param2;
  };

  CEventSinkGraph() = default;
  ~CEventSinkGraph() = default;
  CEventSinkGraph(const CEventSinkGraph&) = delete;
  CEventSinkGraph& operator=(const CEventSinkGraph&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_cRef); }

  STDMETHODIMP AddFilter(IBaseFilter*, LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
  STDMETHODIMP EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
  STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
  STDMETHODIMP ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
  STDMETHODIMP Reconnect(IPin* ppin) override;
  STDMETHODIMP Disconnect(IPin*) override { return E_NOTIMPL; }
  STDMETHODIMP SetDefaultSyncSource() override { return E_NOTIMPL; }

  STDMETHODIMP Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) override;

  // Reconnect answers result (S_OK: reconnects again); with dropConnection it first
  // disconnects both ends, as a graph that lost the connection on the way.
  void FailReconnect(HRESULT result, bool dropConnection);
  int ReconnectCount() const { return m_reconnects.load(); }

  std::vector<Event> Events() const;
  std::vector<long> Codes() const;
  // Waits until an event with this code has arrived; false at the deadline.
  bool WaitForEvent(long code, std::chrono::milliseconds timeout) const;

 private:
  std::atomic<LONG> m_cRef{0};
  std::atomic<HRESULT> m_reconnectResult{S_OK};
  std::atomic<bool> m_dropConnection{false};
  std::atomic<int> m_reconnects{0};
  mutable std::mutex m_lock;
  mutable std::condition_variable m_arrived;
  std::vector<Event> m_events;
};

HRESULT CallWithin(std::chrono::milliseconds timeout, const std::function<HRESULT()>& operation);

}  // namespace testing_support
