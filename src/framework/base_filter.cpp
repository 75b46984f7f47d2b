#include "framework/base_filter.h"

#include <cwchar>

#include "framework/base_pin.h"
#include "framework/enum_pins.h"

namespace {

constexpr std::size_t kMaxFilterNameLength = 0x7FFFFFFF;

// Copies at most 127 characters of source (null: none) into a 128-character field,
// always terminated.
void CopyInfoName(WCHAR (&target)[MAX_FILTER_NAME], const WCHAR* source) {
  std::size_t length = 0;
  if (source != nullptr) {
    while (length < MAX_FILTER_NAME - 1 && source[length] != 0) ++length;
    std::wmemcpy(target, source, length);
  }
  target[length] = 0;
}

}  // namespace

CBaseFilter::CBaseFilter(const WCHAR* pName, IUnknown* pUnk, CRecursiveLock* pLock, REFCLSID clsid)
    : CUnknown(pName, pUnk), m_clsid(clsid), m_pLock(pLock) {}

CBaseFilter::CBaseFilter(const WCHAR* pName, IUnknown* pUnk, CRecursiveLock* pLock, REFCLSID clsid,
                         HRESULT* /*phr*/)
    : CBaseFilter(pName, pUnk, pLock, clsid) {}

CBaseFilter::~CBaseFilter() { delete[] m_pName; }

STDMETHODIMP CBaseFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IBaseFilter) || IsEqualIID(riid, IID_IMediaFilter) || IsEqualIID(riid, IID_IPersist)) {
    return GetInterface(static_cast<IBaseFilter*>(this), ppv);
  }
  if (IsEqualIID(riid, IID_IAMovieSetup)) return GetInterface(static_cast<IAMovieSetup*>(this), ppv);
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CBaseFilter::GetClassID(CLSID* pClsID) {
  if (pClsID == nullptr) return E_POINTER;
  *pClsID = m_clsid;
  return S_OK;
}

STDMETHODIMP CBaseFilter::GetState(DWORD /*dwMilliSecsTimeout*/, FILTER_STATE* State) {
  if (State == nullptr) return E_POINTER;
  *State = m_State.load();
  return S_OK;
}

STDMETHODIMP CBaseFilter::SetSyncSource(IReferenceClock* pClock) {
  CLockHolder<CRecursiveLock> hold(*m_pLock);
  CComPtr<IReferenceClock> clock(pClock, kAddRef);
  {
    CLockHolder<CLock> leaf(m_leafLock);
    m_pClock.Swap(clock);
  }
  // `clock` now holds the old clock and drops it outside the leaf lock; a StreamTime still
  // using it holds its own reference.
  return S_OK;
}

STDMETHODIMP CBaseFilter::GetSyncSource(IReferenceClock** pClock) {
  if (pClock == nullptr) return E_POINTER;
  CLockHolder<CRecursiveLock> hold(*m_pLock);
  *pClock = m_pClock.NewReference();  // The caller's reference (GetSyncSource hands one over).
  return S_OK;
}

STDMETHODIMP CBaseFilter::Stop() {
  CLockHolder<CRecursiveLock> hold(*m_pLock);
  HRESULT result = S_OK;
  if (m_State.load() != State_Stopped) {
    const int count = GetPinCount();
    for (int i = 0; i < count; ++i) {
      CBasePin* pin = GetPin(i);
      if (pin == nullptr) break;
      if (!pin->IsConnected()) continue;
      const HRESULT hr = pin->Inactive();
      if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
  }
  m_State.store(State_Stopped);
  return result;
}

STDMETHODIMP CBaseFilter::Pause() {
  CLockHolder<CRecursiveLock> hold(*m_pLock);
  if (m_State.load() == State_Stopped) {
    const int count = GetPinCount();
    for (int i = 0; i < count; ++i) {
      CBasePin* pin = GetPin(i);
      if (pin == nullptr) break;
      if (!pin->IsConnected()) continue;
      const HRESULT hr = pin->Active();
      if (FAILED(hr)) {
        // The failing pin may have started part of its work (a committed allocator).
        DeactivatePins(i);
        return hr;
      }
    }
  }
  m_State.store(State_Paused);
  return S_OK;
}

void CBaseFilter::DeactivatePins(int last) {
  for (int i = 0; i <= last; ++i) {
    CBasePin* pin = GetPin(i);
    if (pin == nullptr) break;
    if (pin->IsConnected()) pin->Inactive();
  }
}

STDMETHODIMP CBaseFilter::Run(REFERENCE_TIME tStart) {
  CLockHolder<CRecursiveLock> hold(*m_pLock);
  m_tStart.store(tStart);
  if (m_State.load() == State_Stopped) {
    // Through the interface, so that a derived filter's Pause runs.
    const HRESULT hr = static_cast<IBaseFilter*>(this)->Pause();
    if (FAILED(hr)) return hr;
  }
  if (m_State.load() != State_Running) {
    const int count = GetPinCount();
    for (int i = 0; i < count; ++i) {
      CBasePin* pin = GetPin(i);
      if (pin == nullptr) break;
      if (!pin->IsConnected()) continue;
      const HRESULT hr = pin->Run(tStart);
      if (FAILED(hr)) return hr;
    }
  }
  m_State.store(State_Running);
  return S_OK;
}

HRESULT CBaseFilter::StreamTime(REFERENCE_TIME& rtStream) {
  CComPtr<IReferenceClock> clock;
  {
    CLockHolder<CLock> leaf(m_leafLock);
    clock = m_pClock;
  }
  if (!clock) return VFW_E_NO_CLOCK;
  const HRESULT hr = clock->GetTime(&rtStream);
  if (FAILED(hr)) return hr;
  rtStream -= m_tStart.load();
  return S_OK;
}

BOOL CBaseFilter::IsActive() {
  CLockHolder<CRecursiveLock> hold(*m_pLock);
  const FILTER_STATE state = m_State.load();
  return state == State_Paused || state == State_Running ? TRUE : FALSE;
}

STDMETHODIMP CBaseFilter::EnumPins(IEnumPins** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  *ppEnum = new (std::nothrow) CEnumPins(this, nullptr);
  return *ppEnum == nullptr ? E_OUTOFMEMORY : S_OK;
}

STDMETHODIMP CBaseFilter::FindPin(LPCWSTR Id, IPin** ppPin) {
  if (ppPin == nullptr) return E_POINTER;
  CLockHolder<CRecursiveLock> hold(*m_pLock);
  const int count = GetPinCount();
  for (int i = 0; i < count; ++i) {
    CBasePin* pin = GetPin(i);
    if (pin == nullptr) break;
    if (Id != nullptr && pin->Name() != nullptr && std::wcscmp(pin->Name(), Id) == 0) {
      *ppPin = pin;
      pin->AddRef();  // The caller's reference (FindPin hands one over).
      return S_OK;
    }
  }
  *ppPin = nullptr;
  return VFW_E_NOT_FOUND;
}

STDMETHODIMP CBaseFilter::QueryFilterInfo(FILTER_INFO* pInfo) {
  if (pInfo == nullptr) return E_POINTER;
  CLockHolder<CLock> leaf(m_leafLock);
  CopyInfoName(pInfo->achName, m_pName);
  IFilterGraph* graph = m_pGraph.load();
  pInfo->pGraph = graph;
  if (graph != nullptr) graph->AddRef();  // The caller's reference (QueryFilterInfo hands one over).
  return S_OK;
}

STDMETHODIMP CBaseFilter::JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) {
  CLockHolder<CRecursiveLock> hold(*m_pLock);
  // The sink lives as long as the graph, which outlives our membership: it is kept
  // without a reference.
  IMediaEventSink* const sink = QueryAs<IMediaEventSink>(pGraph, IID_IMediaEventSink).Get();
  // The new name is made before the old one leaves, and the old one is freed only once
  // no reader can reach it.
  HRESULT result = S_OK;
  WCHAR* name = nullptr;
  if (pName != nullptr) {
    const std::size_t length = wcsnlen(pName, kMaxFilterNameLength);
    if (length == kMaxFilterNameLength) {
      result = E_INVALIDARG;
    } else {
      name = new (std::nothrow) WCHAR[length + 1];
      if (name == nullptr) {
        result = E_OUTOFMEMORY;
      } else {
        std::wmemcpy(name, pName, length + 1);
      }
    }
  }
  WCHAR* old = nullptr;
  {
    CLockHolder<CLock> leaf(m_leafLock);
    m_pGraph.store(pGraph);
    m_pSink.store(sink);
    old = m_pName;
    m_pName = name;
  }
  delete[] old;
  return result;
}

STDMETHODIMP CBaseFilter::QueryVendorInfo(LPWSTR* /*pVendorInfo*/) { return E_NOTIMPL; }

STDMETHODIMP CBaseFilter::Register() {
  // Setup data is registered by the module's own registration; a filter without any
  // has nothing to register.
  if (GetSetupData() == nullptr) return S_FALSE;
  return E_NOTIMPL;
}

STDMETHODIMP CBaseFilter::Unregister() {
  if (GetSetupData() == nullptr) return S_FALSE;
  return E_NOTIMPL;
}

HRESULT CBaseFilter::NotifyEvent(long EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) {
  IMediaEventSink* sink = m_pSink;
  if (sink == nullptr) return E_NOTIMPL;
  if (EventCode == EC_COMPLETE) EventParam2 = reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this));
  return sink->Notify(EventCode, EventParam1, EventParam2);
}

HRESULT CBaseFilter::ReconnectPin(IPin* pPin, const AM_MEDIA_TYPE* pmt) {
  IFilterGraph* graph = m_pGraph.load();
  if (graph == nullptr) return E_NOINTERFACE;
  if (const auto graph2 = QueryAs<IFilterGraph2>(graph, IID_IFilterGraph2)) return graph2->ReconnectEx(pPin, pmt);
  return graph->Reconnect(pPin);
}
