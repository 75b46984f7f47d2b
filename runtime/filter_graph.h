// CFilterGraph: the filter graph manager (class CLSID_FilterGraph) as applications see it:
// IFilterGraph2 (with IGraphBuilder and IFilterGraph), IMediaControl, IMediaFilter,
// IMediaEventSink and IMediaEvent on one object.
//
//   CComPtr<IGraphBuilder> graph;
//   CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, graph.ReceiveVoid());
//   graph->AddFilter(camera, L"Camera");  graph->AddFilter(renderer, L"Renderer");
//   graph->ConnectDirect(cameraOut, rendererIn, nullptr);
//   graph.As<IMediaControl>(IID_IMediaControl)->Run();
//
// Filters. AddFilter takes a reference on the filter and calls its JoinFilterGraph with
// the graph and the filter's name in this graph. Names are at most MAX_FILTER_NAME - 1
// characters (longer ones are cut) and unique: a name already in use gets a numbered
// variant ("Name 0001") and VFW_S_DUPLICATE_NAME, a null name a generated one.
// RemoveFilter stops the filter when the graph is not stopped, disconnects its pins from
// both ends, calls JoinFilterGraph(null, null) and drops the reference; a filter not in
// the graph: E_FAIL.
//
// Connections. ConnectDirect(out, in, mt) checks that both pins' filters are in the graph
// (VFW_E_NOT_IN_GRAPH), that out is an output and in an input pin
// (VFW_E_INVALID_DIRECTION), that the graph is stopped (VFW_E_NOT_STOPPED), then asks out
// to connect to in. Connect makes the same direct connection with any type the pins
// agree on (no intermediate filters are ever inserted). Disconnect(pin) disconnects that
// one pin. Reconnect and ReconnectEx disconnect both ends of a pin's connection and
// connect them again, synchronously, with the given type, or with no type given with any
// type the pins agree on now; when that fails they restore the old connection with the
// old type and answer the failure. Rendering and source-filter methods: E_NOTIMPL.
//
// States. Run, Pause and Stop reach the filters downstream first: a filter is told after
// every filter its output pins are connected to (found through EnumPins, QueryDirection,
// ConnectedTo and QueryPinInfo), so no filter delivers to one that is not yet ready.
// Run from stopped pauses first. Stop from running pauses first, then stops. Pausing
// from stopped with no clock chosen chooses the default clock (a CSystemClock); an
// application's SetSyncSource, also with null (no clock), overrides that. Every filter
// gets the graph's clock when the clock is set and when it joins. Run gives each filter
// the start time clock time + 10 ms, shifted back by the stream time already played
// when resuming from a pause (stream time does not advance while paused); with no clock
// the start time is 0. When a filter fails a Pause or Run, the filters upstream of it
// are not told, the graph records the requested state and answers the failure: Stop
// then brings every filter back to stopped. Stop tells every filter even when some fail
// and answers the first failure. S_FALSE from a filter (still in transition) makes the
// whole change answer S_FALSE. GetState asks every filter: VFW_S_CANT_CUE when one
// cannot cue, else VFW_S_STATE_INTERMEDIATE when one is still in transition when the
// time-out passes, a filter's failure as it is; the state given is the graph's.
// StopWhenReady pauses a stopped graph, waits up to 10 s for the filters to finish
// pausing, then stops. SetSyncSource and SetDefaultSyncSource: VFW_E_NOT_STOPPED unless
// stopped.
//
// Events: see CEventQueue. The graph adds EC_CLOCK_CHANGED itself whenever its clock
// changes (also when it chooses the default clock). GetEventHandle: E_NOTIMPL (no event handles on Linux).
// Cancel/RestoreDefaultHandling: S_OK, nothing is handled by default. The dispatch
// methods of IMediaControl and IMediaEvent: E_NOTIMPL.
//
// Ownership: reference counted. The graph holds a reference on each of its filters and
// on its clock; filters hold only the plain graph pointer JoinFilterGraph gave them. The
// last Release stops the graph and removes every filter as RemoveFilter does.
//
// Threading: every method on any thread. Graph operations hold the graph's (recursive)
// lock, also while filters change state and wait for their worker threads; those threads
// may call Notify meanwhile, which only takes the event queue's leaf lock. GetState and
// the event waits hold no graph lock while they wait. No aggregation.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "com/com_ptr.h"
#include "platform/annotated_lock.h"
#include "platform/dshow_types.h"
#include "runtime/event_queue.h"
#include "runtime/runtime_object.h"

class CFilterGraph final : public IFilterGraph2,
                           public IMediaControl,
                           public IMediaFilter,
                           public IMediaEventSink,
                           public IMediaEvent,
                           private CRuntimeObject {
 public:
  // Creates a graph and queries riid from it.
  static HRESULT CreateInstance(REFIID riid, void** ppv);

  // For enumerators: a referenced copy of the filter list and the list's version, which
  // changes with every AddFilter and RemoveFilter. False when out of memory.
  bool SnapshotFilters(std::vector<CComPtr<IBaseFilter>>* filters, ULONG* version);
  ULONG FilterListVersion() const { return m_version.load(std::memory_order_acquire); }

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return AddRefObject(); }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseObject(); }

  // IFilterGraph
  STDMETHODIMP AddFilter(IBaseFilter* pFilter, LPCWSTR pName) override;
  STDMETHODIMP RemoveFilter(IBaseFilter* pFilter) override;
  STDMETHODIMP EnumFilters(IEnumFilters** ppEnum) override;
  STDMETHODIMP FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter) override;
  STDMETHODIMP ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP Reconnect(IPin* ppin) override;
  STDMETHODIMP Disconnect(IPin* ppin) override;
  STDMETHODIMP SetDefaultSyncSource() override;

  // IGraphBuilder
  STDMETHODIMP Connect(IPin* ppinOut, IPin* ppinIn) override;
  STDMETHODIMP Render(IPin* ppinOut) override;
  STDMETHODIMP RenderFile(LPCWSTR lpcwstrFile, LPCWSTR lpcwstrPlayList) override;
  STDMETHODIMP AddSourceFilter(LPCWSTR lpcwstrFileName, LPCWSTR lpcwstrFilterName, IBaseFilter** ppFilter) override;
  STDMETHODIMP SetLogFile(DWORD_PTR hFile) override;
  STDMETHODIMP Abort() override;
  STDMETHODIMP ShouldOperationContinue() override;

  // IFilterGraph2
  STDMETHODIMP AddSourceFilterForMoniker(IMoniker* pMoniker, IBindCtx* pCtx, LPCWSTR lpcwstrFilterName,
                                         IBaseFilter** ppFilter) override;
  STDMETHODIMP ReconnectEx(IPin* ppin, const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP RenderEx(IPin* pPinOut, DWORD dwFlags, DWORD* pvContext) override;

  // IDispatch (of IMediaControl and IMediaEvent)
  STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
  STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override;
  STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                      VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

  // IMediaControl (Pause and Stop also serve IMediaFilter)
  STDMETHODIMP Run() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Stop() override;
  STDMETHODIMP GetState(LONG msTimeout, OAFilterState* pfs) override;
  STDMETHODIMP RenderFile(BSTR strFilename) override;
  STDMETHODIMP AddSourceFilter(BSTR strFilename, IDispatch** ppUnk) override;
  STDMETHODIMP get_FilterCollection(IDispatch** ppUnk) override;
  STDMETHODIMP get_RegFilterCollection(IDispatch** ppUnk) override;
  STDMETHODIMP StopWhenReady() override;

  // IPersist, IMediaFilter
  STDMETHODIMP GetClassID(CLSID* pClassID) override;
  STDMETHODIMP Run(REFERENCE_TIME tStart) override;
  STDMETHODIMP GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* State) override;
  STDMETHODIMP SetSyncSource(IReferenceClock* pClock) override;
  STDMETHODIMP GetSyncSource(IReferenceClock** pClock) override;

  // IMediaEventSink
  STDMETHODIMP Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) override;

  // IMediaEvent
  STDMETHODIMP GetEventHandle(OAEVENT* hEvent) override;
  STDMETHODIMP GetEvent(LONG* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2, LONG msTimeout) override;
  STDMETHODIMP WaitForCompletion(LONG msTimeout, LONG* pEvCode) override;
  STDMETHODIMP CancelDefaultHandling(LONG lEvCode) override;
  STDMETHODIMP RestoreDefaultHandling(LONG lEvCode) override;
  STDMETHODIMP FreeEventParams(LONG lEvCode, LONG_PTR lParam1, LONG_PTR lParam2) override;

 private:
  friend class CRuntimeObject;
  CFilterGraph() = default;
  ~CFilterGraph() override;

  struct Entry {
    CComPtr<IBaseFilter> filter;
    std::wstring name;
  };

  IFilterGraph* Self() { return static_cast<IFilterGraph2*>(this); }

  // Everything below runs with m_lock held.
  std::vector<Entry>::iterator Find(IBaseFilter* filter) REQUIRES(m_lock);
  bool IsNameUsed(const std::wstring& name) const REQUIRES(m_lock);
  std::wstring UniqueName(const std::wstring& name) const REQUIRES(m_lock);
  bool IsPinInGraph(IPin* pin) REQUIRES(m_lock);
  void RemoveAt(std::vector<Entry>::iterator at) REQUIRES(m_lock);
  std::vector<IBaseFilter*> DownstreamFirst() REQUIRES(m_lock);
  HRESULT SetClock(IReferenceClock* clock) REQUIRES(m_lock);
  HRESULT UseDefaultClock() REQUIRES(m_lock);
  REFERENCE_TIME ClockTime() REQUIRES(m_lock);
  HRESULT PauseLocked() REQUIRES(m_lock);
  HRESULT RunLocked(const REFERENCE_TIME* start) REQUIRES(m_lock);
  HRESULT StopLocked() REQUIRES(m_lock);
  void SetState(FILTER_STATE state) REQUIRES(m_lock);

  // The graph's state as its filters report it; m_lock is not held while filters wait.
  HRESULT QueryFilterStates(DWORD msTimeout, FILTER_STATE* state);

  CRecursiveLock m_lock;
  std::vector<Entry> m_filters GUARDED_BY(m_lock);
  std::atomic<ULONG> m_version{0};
  FILTER_STATE m_state GUARDED_BY(m_lock) = State_Stopped;
  CComPtr<IReferenceClock> m_clock GUARDED_BY(m_lock);        // empty: none (chosen or not yet)
  CComPtr<IReferenceClock> m_systemClock GUARDED_BY(m_lock);  // the default clock once made
  bool m_clockChosen GUARDED_BY(m_lock) = false;              // by SetSyncSource or SetDefaultSyncSource
  REFERENCE_TIME m_start GUARDED_BY(m_lock) = 0;              // of the last Run
  REFERENCE_TIME m_pausedStreamTime GUARDED_BY(m_lock) = 0;   // stream time reached when paused from running
  CEventQueue m_events;
};
