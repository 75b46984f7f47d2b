#include "runtime/filter_graph.h"

#include <chrono>
#include <cstdio>
#include <new>
#include <utility>

#include "runtime/filter_enumerator.h"
#include "runtime/system_clock.h"

namespace {

// Between reading the clock and the filters' first sample: time for every filter to run.
constexpr REFERENCE_TIME kStartDelay = 10 * 10000;  // 10 ms
constexpr DWORD kReadyWaitMs = 10000;
constexpr size_t kMaxNameChars = MAX_FILTER_NAME - 1;
constexpr wchar_t kGeneratedName[] = L"Filter";

// Calls visit(pin) for each pin of filter; stops early when visit answers false.
template <typename Visit>
void ForEachPin(IBaseFilter* filter, Visit visit) {
  CComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(pins.Receive())) || !pins) return;
  CComPtr<IPin> pin;
  ULONG fetched = 0;
  while (pins->Next(1, pin.Receive(), &fetched) == S_OK && fetched == 1 && pin) {
    if (!visit(pin.Get())) break;
  }
}

// The filter a pin belongs to, or empty.
CComPtr<IBaseFilter> OwnerOf(IPin* pin) {
  PIN_INFO info{};
  if (FAILED(pin->QueryPinInfo(&info))) return nullptr;
  return CComPtr<IBaseFilter>(info.pFilter, kAdoptRef);
}

bool HasDirection(IPin* pin, PIN_DIRECTION wanted) {
  PIN_DIRECTION direction{};
  return SUCCEEDED(pin->QueryDirection(&direction)) && direction == wanted;
}

void FreeMediaTypeContents(AM_MEDIA_TYPE* mt) {
  CoTaskMemFree(mt->pbFormat);
  mt->pbFormat = nullptr;
  mt->cbFormat = 0;
  if (mt->pUnk != nullptr) {
    mt->pUnk->Release();  // The record's own reference (a media type record holds one on pUnk).
    mt->pUnk = nullptr;
  }
}

}  // namespace

HRESULT CFilterGraph::CreateInstance(REFIID riid, void** ppv) { return CreateAndQuery<CFilterGraph>(riid, ppv); }

CFilterGraph::~CFilterGraph() {
  {
    const CLockHolder<CRecursiveLock> hold(m_lock);
    try {
      StopLocked();
    } catch (const std::bad_alloc&) {
      // Removing below still stops every filter that is not stopped.
    }
    while (!m_filters.empty()) RemoveAt(m_filters.end() - 1);
  }
}

STDMETHODIMP CFilterGraph::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IFilterGraph || riid == IID_IGraphBuilder || riid == IID_IFilterGraph2) {
    *ppv = static_cast<IFilterGraph2*>(this);
  } else if (riid == IID_IMediaControl || riid == IID_IDispatch) {
    *ppv = static_cast<IMediaControl*>(this);
  } else if (riid == IID_IMediaFilter || riid == IID_IPersist) {
    *ppv = static_cast<IMediaFilter*>(this);
  } else if (riid == IID_IMediaEventSink) {
    *ppv = static_cast<IMediaEventSink*>(this);
  } else if (riid == IID_IMediaEvent) {
    *ppv = static_cast<IMediaEvent*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();  // The caller's reference (QueryInterface hands one over).
  return S_OK;
}

bool CFilterGraph::SnapshotFilters(std::vector<CComPtr<IBaseFilter>>* filters, ULONG* version) {
  const CLockHolder<CRecursiveLock> hold(m_lock);
  filters->clear();
  try {
    filters->reserve(m_filters.size());
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (const Entry& entry : m_filters) filters->push_back(entry.filter);
  *version = m_version.load(std::memory_order_relaxed);
  return true;
}

// ---------------------------------------------------------------------------------------
// Filters

std::vector<CFilterGraph::Entry>::iterator CFilterGraph::Find(IBaseFilter* filter) {
  auto at = m_filters.begin();
  while (at != m_filters.end() && at->filter.Get() != filter) ++at;
  return at;
}

bool CFilterGraph::IsNameUsed(const std::wstring& name) const {
  for (const Entry& entry : m_filters)
    if (entry.name == name) return true;
  return false;
}

std::wstring CFilterGraph::UniqueName(const std::wstring& name) const {
  if (!IsNameUsed(name)) return name;
  for (unsigned number = 1;; ++number) {
    wchar_t suffix[16];
    std::swprintf(suffix, sizeof suffix / sizeof suffix[0], L" %04u", number);
    const std::wstring tail(suffix);
    std::wstring candidate = name.substr(0, kMaxNameChars - tail.size()) + tail;
    // The list is finite, so some number is free.
    if (!IsNameUsed(candidate)) return candidate;
  }
}

STDMETHODIMP CFilterGraph::AddFilter(IBaseFilter* pFilter, LPCWSTR pName) {
  if (pFilter == nullptr) return E_POINTER;
  const CLockHolder<CRecursiveLock> hold(m_lock);
  try {
    const std::wstring wanted = std::wstring(pName != nullptr ? pName : kGeneratedName).substr(0, kMaxNameChars);
    std::wstring name = UniqueName(wanted);
    const bool renamed = pName != nullptr && name != wanted;
    // Nothing may fail once the filter has joined.
    m_filters.reserve(m_filters.size() + 1);
    const HRESULT hr = pFilter->JoinFilterGraph(Self(), name.c_str());
    if (FAILED(hr)) return hr;
    m_filters.push_back(Entry{CComPtr<IBaseFilter>(pFilter, kAddRef), std::move(name)});
    m_version.fetch_add(1, std::memory_order_acq_rel);
    if (m_clock) pFilter->SetSyncSource(m_clock.Get());
    return renamed ? VFW_S_DUPLICATE_NAME : S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

void CFilterGraph::RemoveAt(std::vector<Entry>::iterator at) {
  // Dropped last, once the filter has left the list.
  const CComPtr<IBaseFilter> filter = std::move(at->filter);
  if (m_state != State_Stopped) filter->Stop();
  // A connection left behind would keep both filters alive through each other's pins.
  ForEachPin(filter.Get(), [](IPin* pin) {
    CComPtr<IPin> peer;
    if (pin->ConnectedTo(peer.Receive()) == S_OK && peer) {
      peer->Disconnect();
      pin->Disconnect();
    }
    return true;
  });
  filter->JoinFilterGraph(nullptr, nullptr);
  m_filters.erase(at);
  m_version.fetch_add(1, std::memory_order_acq_rel);
}

STDMETHODIMP CFilterGraph::RemoveFilter(IBaseFilter* pFilter) {
  if (pFilter == nullptr) return E_POINTER;
  const CLockHolder<CRecursiveLock> hold(m_lock);
  const auto at = Find(pFilter);
  if (at == m_filters.end()) return E_FAIL;
  RemoveAt(at);
  return S_OK;
}

STDMETHODIMP CFilterGraph::EnumFilters(IEnumFilters** ppEnum) { return CFilterEnumerator::Create(this, ppEnum); }

STDMETHODIMP CFilterGraph::FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter) {
  if (ppFilter == nullptr) return E_POINTER;
  *ppFilter = nullptr;
  if (pName == nullptr) return E_POINTER;
  const CLockHolder<CRecursiveLock> hold(m_lock);
  for (const Entry& entry : m_filters) {
    if (entry.name == pName) {
      *ppFilter = entry.filter.NewReference();  // The caller's reference (FindFilterByName hands one over).
      return S_OK;
    }
  }
  return VFW_E_NOT_FOUND;
}

// ---------------------------------------------------------------------------------------
// Connections

bool CFilterGraph::IsPinInGraph(IPin* pin) {
  const CComPtr<IBaseFilter> owner = OwnerOf(pin);
  return owner && Find(owner.Get()) != m_filters.end();
}

STDMETHODIMP CFilterGraph::ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt) {
  if (ppinOut == nullptr || ppinIn == nullptr) return E_POINTER;
  const CLockHolder<CRecursiveLock> hold(m_lock);
  if (!IsPinInGraph(ppinOut) || !IsPinInGraph(ppinIn)) return VFW_E_NOT_IN_GRAPH;
  if (!HasDirection(ppinOut, PINDIR_OUTPUT) || !HasDirection(ppinIn, PINDIR_INPUT)) return VFW_E_INVALID_DIRECTION;
  if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
  return ppinOut->Connect(ppinIn, pmt);
}

STDMETHODIMP CFilterGraph::Connect(IPin* ppinOut, IPin* ppinIn) { return ConnectDirect(ppinOut, ppinIn, nullptr); }

STDMETHODIMP CFilterGraph::Disconnect(IPin* ppin) {
  if (ppin == nullptr) return E_POINTER;
  const CLockHolder<CRecursiveLock> hold(m_lock);
  return ppin->Disconnect();
}

STDMETHODIMP CFilterGraph::Reconnect(IPin* ppin) { return ReconnectEx(ppin, nullptr); }

STDMETHODIMP CFilterGraph::ReconnectEx(IPin* ppin, const AM_MEDIA_TYPE* pmt) {
  if (ppin == nullptr) return E_POINTER;
  const CLockHolder<CRecursiveLock> hold(m_lock);
  if (!IsPinInGraph(ppin)) return VFW_E_NOT_IN_GRAPH;
  if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
  CComPtr<IPin> peer;
  if (ppin->ConnectedTo(peer.Receive()) != S_OK || !peer) return VFW_E_NOT_CONNECTED;
  const bool isOutput = HasDirection(ppin, PINDIR_OUTPUT);
  IPin* out = isOutput ? ppin : peer.Get();
  IPin* in = isOutput ? peer.Get() : ppin;

  AM_MEDIA_TYPE old{};
  const bool haveOld = SUCCEEDED(out->ConnectionMediaType(&old));
  out->Disconnect();
  in->Disconnect();
  HRESULT hr = out->Connect(in, pmt);
  if (FAILED(hr) && haveOld) out->Connect(in, &old);
  if (haveOld) FreeMediaTypeContents(&old);
  return hr;
}

STDMETHODIMP CFilterGraph::Render(IPin*) { return E_NOTIMPL; }
STDMETHODIMP CFilterGraph::RenderFile(LPCWSTR, LPCWSTR) { return E_NOTIMPL; }
STDMETHODIMP CFilterGraph::AddSourceFilter(LPCWSTR, LPCWSTR, IBaseFilter** ppFilter) {
  if (ppFilter != nullptr) *ppFilter = nullptr;
  return E_NOTIMPL;
}
STDMETHODIMP CFilterGraph::SetLogFile(DWORD_PTR) { return S_OK; }
STDMETHODIMP CFilterGraph::Abort() { return S_OK; }
STDMETHODIMP CFilterGraph::ShouldOperationContinue() { return S_OK; }
STDMETHODIMP CFilterGraph::AddSourceFilterForMoniker(IMoniker*, IBindCtx*, LPCWSTR, IBaseFilter** ppFilter) {
  if (ppFilter != nullptr) *ppFilter = nullptr;
  return E_NOTIMPL;
}
STDMETHODIMP CFilterGraph::RenderEx(IPin*, DWORD, DWORD*) { return E_NOTIMPL; }

// ---------------------------------------------------------------------------------------
// Clock

HRESULT CFilterGraph::SetClock(IReferenceClock* clock) {
  const bool changed = clock != m_clock.Get();
  m_clock.Reset(clock, kAddRef);
  m_clockChosen = true;
  if (changed) m_events.Post(EC_CLOCK_CHANGED, 0, 0);
  HRESULT result = S_OK;
  for (const Entry& entry : m_filters) {
    const HRESULT hr = entry.filter->SetSyncSource(clock);
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  return result;
}

HRESULT CFilterGraph::UseDefaultClock() {
  if (!m_systemClock) {
    const HRESULT hr = CSystemClock::CreateInstance(IID_IReferenceClock, m_systemClock.ReceiveVoid());
    if (FAILED(hr)) return hr;
  }
  return SetClock(m_systemClock.Get());
}

REFERENCE_TIME CFilterGraph::ClockTime() {
  REFERENCE_TIME now = 0;
  if (m_clock) m_clock->GetTime(&now);
  return now;
}

STDMETHODIMP CFilterGraph::SetDefaultSyncSource() {
  const CLockHolder<CRecursiveLock> hold(m_lock);
  if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
  return UseDefaultClock();
}

STDMETHODIMP CFilterGraph::SetSyncSource(IReferenceClock* pClock) {
  const CLockHolder<CRecursiveLock> hold(m_lock);
  if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
  return SetClock(pClock);
}

STDMETHODIMP CFilterGraph::GetSyncSource(IReferenceClock** pClock) {
  if (pClock == nullptr) return E_POINTER;
  const CLockHolder<CRecursiveLock> hold(m_lock);
  *pClock = m_clock.NewReference();  // The caller's reference (GetSyncSource hands one over).
  return S_OK;
}

// ---------------------------------------------------------------------------------------
// States

std::vector<IBaseFilter*> CFilterGraph::DownstreamFirst() {
  const size_t count = m_filters.size();
  std::vector<IBaseFilter*> members(count);
  for (size_t i = 0; i < count; ++i) members[i] = m_filters[i].filter.Get();
  // downstream[i]: indices of the filters that filter i's output pins deliver to.
  std::vector<std::vector<size_t>> downstream(count);
  for (size_t i = 0; i < count; ++i) {
    ForEachPin(members[i], [&](IPin* pin) {
      if (!HasDirection(pin, PINDIR_OUTPUT)) return true;
      CComPtr<IPin> peer;
      if (pin->ConnectedTo(peer.Receive()) != S_OK || !peer) return true;
      if (const CComPtr<IBaseFilter> owner = OwnerOf(peer.Get())) {
        for (size_t j = 0; j < count; ++j)
          if (j != i && members[j] == owner.Get()) downstream[i].push_back(j);
      }
      return true;
    });
  }
  std::vector<IBaseFilter*> order;
  order.reserve(count);
  std::vector<bool> placed(count, false);
  while (order.size() < count) {
    bool progress = false;
    for (size_t i = 0; i < count; ++i) {
      if (placed[i]) continue;
      bool ready = true;
      for (size_t j : downstream[i]) ready = ready && placed[j];
      if (!ready) continue;
      placed[i] = true;
      order.push_back(m_filters[i].filter.Get());
      progress = true;
    }
    if (progress) continue;
    // A cycle (never in a sound graph): take the first filter left so every one is told.
    for (size_t i = 0; i < count; ++i) {
      if (!placed[i]) {
        placed[i] = true;
        order.push_back(m_filters[i].filter.Get());
        break;
      }
    }
  }
  return order;
}

void CFilterGraph::SetState(FILTER_STATE state) {
  m_state = state;
  m_events.SetGraphState(state);
}

HRESULT CFilterGraph::PauseLocked() {
  if (m_state == State_Paused) return S_OK;
  if (m_state == State_Stopped && !m_clockChosen) UseDefaultClock();
  if (m_state == State_Running && m_clock) m_pausedStreamTime = ClockTime() - m_start;
  HRESULT result = S_OK;
  for (IBaseFilter* filter : DownstreamFirst()) {
    const HRESULT hr = filter->Pause();
    if (FAILED(hr)) {
      SetState(State_Paused);
      return hr;
    }
    if (hr != S_OK) result = S_FALSE;
  }
  SetState(State_Paused);
  return result;
}

HRESULT CFilterGraph::RunLocked(const REFERENCE_TIME* start) {
  if (m_state == State_Running) return S_OK;
  HRESULT result = S_OK;
  if (m_state == State_Stopped) {
    result = PauseLocked();
    if (FAILED(result)) return result;
  }
  if (start != nullptr) {
    m_start = *start;
  } else {
    m_start = m_clock ? ClockTime() + kStartDelay - m_pausedStreamTime : 0;
  }
  for (IBaseFilter* filter : DownstreamFirst()) {
    const HRESULT hr = filter->Run(m_start);
    if (FAILED(hr)) {
      SetState(State_Running);
      return hr;
    }
    if (hr != S_OK) result = S_FALSE;
  }
  SetState(State_Running);
  return result;
}

HRESULT CFilterGraph::StopLocked() {
  std::vector<IBaseFilter*> order = DownstreamFirst();
  if (m_state == State_Running) {
    // Pausing first lets renderers hold their last picture before the stop.
    for (IBaseFilter* filter : order) filter->Pause();
  }
  HRESULT result = S_OK;
  for (IBaseFilter* filter : order) {
    const HRESULT hr = filter->Stop();
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  m_pausedStreamTime = 0;
  SetState(State_Stopped);
  return result;
}

STDMETHODIMP CFilterGraph::Run() {
  const CLockHolder<CRecursiveLock> hold(m_lock);
  try {
    return RunLocked(nullptr);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP CFilterGraph::Run(REFERENCE_TIME tStart) {
  const CLockHolder<CRecursiveLock> hold(m_lock);
  try {
    return RunLocked(&tStart);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP CFilterGraph::Pause() {
  const CLockHolder<CRecursiveLock> hold(m_lock);
  try {
    return PauseLocked();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

STDMETHODIMP CFilterGraph::Stop() {
  const CLockHolder<CRecursiveLock> hold(m_lock);
  try {
    return StopLocked();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CFilterGraph::QueryFilterStates(DWORD msTimeout, FILTER_STATE* state) {
  std::vector<CComPtr<IBaseFilter>> filters;
  {
    const CLockHolder<CRecursiveLock> hold(m_lock);
    *state = m_state;
    ULONG version = 0;
    if (!SnapshotFilters(&filters, &version)) return E_OUTOFMEMORY;
  }
  // A first look without waiting: a filter that cannot cue decides the answer, and a
  // renderer waiting for a sample such a source never sends must not be waited for.
  HRESULT result = S_OK;
  std::vector<IBaseFilter*> pending;
  for (const CComPtr<IBaseFilter>& filter : filters) {
    FILTER_STATE ignored{};
    const HRESULT hr = filter->GetState(0, &ignored);
    if (FAILED(hr)) {
      if (SUCCEEDED(result)) result = hr;
    } else if (hr == VFW_S_CANT_CUE) {
      if (SUCCEEDED(result)) result = VFW_S_CANT_CUE;
    } else if (hr == VFW_S_STATE_INTERMEDIATE) {
      pending.push_back(filter.Get());
    }
  }
  if (result == S_OK && !pending.empty()) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msTimeout);
    for (IBaseFilter* filter : pending) {
      DWORD wait = INFINITE;
      if (msTimeout != INFINITE) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        wait = left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
      }
      FILTER_STATE ignored{};
      const HRESULT hr = filter->GetState(wait, &ignored);
      if (FAILED(hr) || hr == VFW_S_CANT_CUE || hr == VFW_S_STATE_INTERMEDIATE) {
        result = hr;
        break;
      }
    }
  }
  return result;
}

STDMETHODIMP CFilterGraph::GetState(LONG msTimeout, OAFilterState* pfs) {
  if (pfs == nullptr) return E_POINTER;
  FILTER_STATE state = State_Stopped;
  const HRESULT hr = QueryFilterStates(msTimeout < 0 ? INFINITE : static_cast<DWORD>(msTimeout), &state);
  *pfs = state;
  return hr;
}

STDMETHODIMP CFilterGraph::GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* State) {
  if (State == nullptr) return E_POINTER;
  return QueryFilterStates(dwMilliSecsTimeout, State);
}

STDMETHODIMP CFilterGraph::StopWhenReady() {
  {
    const CLockHolder<CRecursiveLock> hold(m_lock);
    if (m_state == State_Stopped) {
      const HRESULT hr = Pause();
      if (FAILED(hr)) return hr;
    }
  }
  FILTER_STATE state = State_Stopped;
  QueryFilterStates(kReadyWaitMs, &state);
  return Stop();
}

STDMETHODIMP CFilterGraph::GetClassID(CLSID* pClassID) {
  if (pClassID == nullptr) return E_POINTER;
  *pClassID = CLSID_FilterGraph;
  return S_OK;
}

STDMETHODIMP CFilterGraph::RenderFile(BSTR) { return E_NOTIMPL; }
STDMETHODIMP CFilterGraph::AddSourceFilter(BSTR, IDispatch** ppUnk) {
  if (ppUnk != nullptr) *ppUnk = nullptr;
  return E_NOTIMPL;
}
STDMETHODIMP CFilterGraph::get_FilterCollection(IDispatch** ppUnk) {
  if (ppUnk != nullptr) *ppUnk = nullptr;
  return E_NOTIMPL;
}
STDMETHODIMP CFilterGraph::get_RegFilterCollection(IDispatch** ppUnk) {
  if (ppUnk != nullptr) *ppUnk = nullptr;
  return E_NOTIMPL;
}

// ---------------------------------------------------------------------------------------
// IDispatch: no type information, no late binding.

STDMETHODIMP CFilterGraph::GetTypeInfoCount(UINT* pctinfo) {
  if (pctinfo != nullptr) *pctinfo = 0;
  return E_NOTIMPL;
}
STDMETHODIMP CFilterGraph::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
  if (ppTInfo != nullptr) *ppTInfo = nullptr;
  return E_NOTIMPL;
}
STDMETHODIMP CFilterGraph::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
STDMETHODIMP CFilterGraph::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return E_NOTIMPL;
}

// ---------------------------------------------------------------------------------------
// Events

STDMETHODIMP CFilterGraph::Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) {
  try {
    m_events.Post(EventCode, EventParam1, EventParam2);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

STDMETHODIMP CFilterGraph::GetEventHandle(OAEVENT* hEvent) {
  if (hEvent != nullptr) *hEvent = 0;
  return E_NOTIMPL;
}

STDMETHODIMP CFilterGraph::GetEvent(LONG* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2, LONG msTimeout) {
  return m_events.Get(lEventCode, lParam1, lParam2, msTimeout);
}

STDMETHODIMP CFilterGraph::WaitForCompletion(LONG msTimeout, LONG* pEvCode) {
  return m_events.WaitForCompletion(msTimeout, pEvCode);
}

STDMETHODIMP CFilterGraph::CancelDefaultHandling(LONG) { return S_OK; }
STDMETHODIMP CFilterGraph::RestoreDefaultHandling(LONG) { return S_OK; }
STDMETHODIMP CFilterGraph::FreeEventParams(LONG, LONG_PTR, LONG_PTR) { return S_OK; }
