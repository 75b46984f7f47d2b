// CBaseFilter: a filter with the stopped / paused / running state machine, the graph's
// clock, graph membership, event notification and pin enumeration and lookup. It answers
// IBaseFilter (with IMediaFilter and IPersist) and IAMovieSetup.
//
//   class CMyFilter : public CBaseFilter {             // the derived class owns its pins
//     int GetPinCount() override { return 1; }
//     CBasePin* GetPin(int n) override { return n == 0 ? m_pin : nullptr; }
//   };
//   filter->JoinFilterGraph(graph, L"camera");  filter->Pause();  filter->Run(start);
//
// State changes reach the pins only when they are connected: leaving the stopped state
// activates every connected pin (Active), stopping deactivates them (Inactive), and Run
// passes the start time on to them. The state is changed after the pins, so a pin's
// Active still sees the filter stopped. A Pause that fails on one pin deactivates every
// pin it had reached, the failing one included, so a failed start leaves the filter
// stopped with nothing running and the next Pause starts afresh.
//
// Ownership: the filter holds one reference on its clock. The graph and its event sink
// are held without reference (the graph owns the filter). The filter name is an owned
// copy. The pins belong to the derived class (GetPinCount/GetPin).
//
// Threading: the state lock (given by the derived class, re-entrant, not owned) guards the
// state, the clock, graph membership and the pins; every pin's connection changes take the
// same lock. GetState, QueryFilterInfo, StreamTime and IsStopped do not take it (a
// streaming thread calls StreamTime and must never wait for the state lock). The name,
// the graph pointer and the clock pointer are also guarded by m_leafLock, a leaf taken
// after the state lock and around nothing but copying and reference counting: readers
// without the state lock copy the name and take their reference on the graph or the
// clock under it, and a clock or name being replaced is released or freed only after it
// has left the filter under the same lock. The pin version changes atomically.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/annotated_lock.h"
#include "com/com_ptr.h"
#include "com/unknown.h"
#include "platform/dshow_types.h"

class CBasePin;

class CBaseFilter : public CUnknown, public IBaseFilter, public IAMovieSetup {
 public:
  CBaseFilter(const WCHAR* pName, IUnknown* pUnk, CRecursiveLock* pLock, REFCLSID clsid);
  CBaseFilter(const WCHAR* pName, IUnknown* pUnk, CRecursiveLock* pLock, REFCLSID clsid, HRESULT* phr);
  ~CBaseFilter() override;

  DECLARE_IUNKNOWN
  // IBaseFilter, IMediaFilter and IPersist give the IBaseFilter part; IAMovieSetup its own.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IPersist
  STDMETHODIMP GetClassID(CLSID* pClsID) override;

  // IMediaFilter
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME tStart) override;
  // The state at once; the wait time is ignored.
  STDMETHODIMP GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* State) override;
  STDMETHODIMP SetSyncSource(IReferenceClock* pClock) override;
  STDMETHODIMP GetSyncSource(IReferenceClock** pClock) override;

  // IBaseFilter
  STDMETHODIMP EnumPins(IEnumPins** ppEnum) override;
  // The first pin whose name equals Id exactly; VFW_E_NOT_FOUND.
  STDMETHODIMP FindPin(LPCWSTR Id, IPin** ppPin) override;
  STDMETHODIMP QueryFilterInfo(FILTER_INFO* pInfo) override;
  STDMETHODIMP JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override;
  STDMETHODIMP QueryVendorInfo(LPWSTR* pVendorInfo) override;

  // IAMovieSetup: S_FALSE when the filter has no setup data (GetSetupData is null).
  STDMETHODIMP Register() override;
  STDMETHODIMP Unregister() override;

  // The clock's time minus the stream start; VFW_E_NO_CLOCK without a clock.
  virtual HRESULT StreamTime(REFERENCE_TIME& rtStream);
  virtual LONG GetPinVersion() { return m_PinVersion.load(); }
  virtual int GetPinCount() = 0;
  // The n-th pin without a reference, or null.
  virtual CBasePin* GetPin(int n) = 0;
  virtual const void* GetSetupData() { return nullptr; }

  void IncrementPinVersion() { m_PinVersion.fetch_add(1); }
  // Paused or running (under the state lock).
  BOOL IsActive();
  BOOL IsStopped() const { return m_State == State_Stopped; }
  // Passes an event to the graph's sink (EC_COMPLETE carries this filter as its second
  // parameter); E_NOTIMPL when the filter has no sink.
  HRESULT NotifyEvent(long EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2);
  // Asks the graph to reconnect pPin (with pmt where the graph can take one).
  HRESULT ReconnectPin(IPin* pPin, const AM_MEDIA_TYPE* pmt);
  IFilterGraph* GetFilterGraph() const { return m_pGraph.load(); }
  CRecursiveLock* StateLock() const { return m_pLock; }

 private:
  // Deactivates the connected pins at positions 0..last (a failed Pause's undoing).
  void DeactivatePins(int last);
  CLock m_leafLock;

 protected:
  std::atomic<FILTER_STATE> m_State{State_Stopped};
  // Read by the streaming thread (StreamTime, under m_leafLock) while host threads change
  // it under both locks; either lock is enough to read it.
  CComPtr<IReferenceClock> m_pClock;
  // Read by the streaming thread (StreamTime) while host threads may change it.
  std::atomic<REFERENCE_TIME> m_tStart{0};
  CLSID m_clsid;
  CRecursiveLock* const m_pLock;
  WCHAR* m_pName = nullptr;
  // Read by worker threads (events) while a host thread may join or leave a graph.
  std::atomic<IFilterGraph*> m_pGraph{nullptr};
  std::atomic<IMediaEventSink*> m_pSink{nullptr};
  std::atomic<LONG> m_PinVersion{1};
};
