#include "support/recording_filter.h"

#include <cwchar>

namespace testing_support {

// ---------------------------------------------------------------------------------------
// CCallLog

void CCallLog::Add(const std::string& entry) {
  const std::lock_guard<std::mutex> hold(m_lock);
  m_entries.push_back(entry);
}

std::vector<std::string> CCallLog::Entries() const {
  const std::lock_guard<std::mutex> hold(m_lock);
  return m_entries;
}

std::vector<std::string> CCallLog::TagsOf(const std::string& call) const {
  const std::lock_guard<std::mutex> hold(m_lock);
  std::vector<std::string> tags;
  const std::string suffix = ":" + call;
  for (const std::string& entry : m_entries)
    if (entry.size() > suffix.size() && entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) == 0)
      tags.push_back(entry.substr(0, entry.size() - suffix.size()));
  return tags;
}

void CCallLog::Clear() {
  const std::lock_guard<std::mutex> hold(m_lock);
  m_entries.clear();
}

namespace {

// Hands out the filter's pins, holding a reference on the filter.
class CPinEnumerator final : public IEnumPins {
 public:
  CPinEnumerator(IBaseFilter* filter, std::vector<IPin*> pins, size_t position)
      : m_filter(filter, kAddRef), m_pins(std::move(pins)), m_position(position) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IEnumPins) {
      *ppv = static_cast<IEnumPins*>(this);
      AddRef();  // The caller's reference (QueryInterface hands one over).
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }

  STDMETHODIMP Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched) override {
    if (ppPins == nullptr || (pcFetched == nullptr && cPins != 1)) return E_POINTER;
    ULONG fetched = 0;
    while (fetched < cPins && m_position < m_pins.size()) {
      ppPins[fetched] = m_pins[m_position++];
      ppPins[fetched++]->AddRef();  // The caller's reference (Next hands one over per pin).
    }
    if (pcFetched != nullptr) *pcFetched = fetched;
    return fetched == cPins ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG cPins) override {
    m_position += cPins;
    if (m_position <= m_pins.size()) return S_OK;
    m_position = m_pins.size();
    return S_FALSE;
  }
  STDMETHODIMP Reset() override {
    m_position = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumPins** ppEnum) override {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = new CPinEnumerator(m_filter.Get(), m_pins, m_position);
    return S_OK;
  }

 private:
  ~CPinEnumerator() = default;
  std::atomic<ULONG> m_refs{1};
  const CComPtr<IBaseFilter> m_filter;
  const std::vector<IPin*> m_pins;
  size_t m_position;
};

AM_MEDIA_TYPE VideoType(const GUID& subtype) {
  AM_MEDIA_TYPE type{};
  type.majortype = MEDIATYPE_Video;
  type.subtype = subtype;
  type.bFixedSizeSamples = TRUE;
  type.formattype = FORMAT_None;
  return type;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// CRecordingPin

CRecordingPin::CRecordingPin(CRecordingFilter* filter, PIN_DIRECTION direction, const wchar_t* name)
    : m_filter(filter), m_direction(direction), m_name(name) {}

CRecordingPin::~CRecordingPin() = default;

STDMETHODIMP CRecordingPin::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IPin) {
    *ppv = static_cast<IPin*>(this);
    AddRef();  // The caller's reference (QueryInterface hands one over).
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CRecordingPin::AddRef() { return m_filter->AddRef(); }
STDMETHODIMP_(ULONG) CRecordingPin::Release() { return m_filter->Release(); }

STDMETHODIMP CRecordingPin::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) {
  if (pReceivePin == nullptr) return E_POINTER;
  if (m_direction != PINDIR_OUTPUT) return E_UNEXPECTED;
  if (m_filter->State() != State_Stopped) return VFW_E_NOT_STOPPED;
  const AM_MEDIA_TYPE type = pmt != nullptr ? VideoType(pmt->subtype) : VideoType(m_filter->PreferredSubtype());
  {
    const std::lock_guard<std::mutex> hold(m_lock);
    if (m_peer) return VFW_E_ALREADY_CONNECTED;
  }
  const HRESULT hr = pReceivePin->ReceiveConnection(this, &type);
  if (FAILED(hr)) return hr;
  const std::lock_guard<std::mutex> hold(m_lock);
  m_peer.Reset(pReceivePin, kAddRef);
  m_type = type;
  ++m_connects;
  return S_OK;
}

STDMETHODIMP CRecordingPin::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) {
  if (pConnector == nullptr || pmt == nullptr) return E_POINTER;
  if (m_direction != PINDIR_INPUT) return E_UNEXPECTED;
  if (m_filter->State() != State_Stopped) return VFW_E_NOT_STOPPED;
  const std::lock_guard<std::mutex> hold(m_lock);
  if (m_peer) return VFW_E_ALREADY_CONNECTED;
  m_peer.Reset(pConnector, kAddRef);
  m_type = VideoType(pmt->subtype);
  ++m_connects;
  return S_OK;
}

STDMETHODIMP CRecordingPin::Disconnect() {
  if (m_filter->State() != State_Stopped) return VFW_E_NOT_STOPPED;
  CComPtr<IPin> peer;
  {
    const std::lock_guard<std::mutex> hold(m_lock);
    peer = std::move(m_peer);
    m_type = AM_MEDIA_TYPE{};
  }
  // The peer is released outside the lock.
  return peer ? S_OK : S_FALSE;
}

STDMETHODIMP CRecordingPin::ConnectedTo(IPin** pPin) {
  if (pPin == nullptr) return E_POINTER;
  const std::lock_guard<std::mutex> hold(m_lock);
  *pPin = m_peer.NewReference();  // The caller's reference (ConnectedTo hands one over).
  return *pPin == nullptr ? VFW_E_NOT_CONNECTED : S_OK;
}

STDMETHODIMP CRecordingPin::ConnectionMediaType(AM_MEDIA_TYPE* pmt) {
  if (pmt == nullptr) return E_POINTER;
  const std::lock_guard<std::mutex> hold(m_lock);
  *pmt = m_type;
  return m_peer ? S_OK : VFW_E_NOT_CONNECTED;
}

STDMETHODIMP CRecordingPin::QueryPinInfo(PIN_INFO* pInfo) {
  if (pInfo == nullptr) return E_POINTER;
  pInfo->pFilter = m_filter;
  m_filter->AddRef();  // The caller's reference (QueryPinInfo hands one over).
  pInfo->dir = m_direction;
  std::wcsncpy(pInfo->achName, m_name.c_str(), MAX_PIN_NAME - 1);
  pInfo->achName[MAX_PIN_NAME - 1] = L'\0';
  return S_OK;
}

STDMETHODIMP CRecordingPin::QueryDirection(PIN_DIRECTION* pPinDir) {
  if (pPinDir == nullptr) return E_POINTER;
  *pPinDir = m_direction;
  return S_OK;
}

STDMETHODIMP CRecordingPin::QueryId(LPWSTR* Id) {
  if (Id == nullptr) return E_POINTER;
  const size_t bytes = (m_name.size() + 1) * sizeof(wchar_t);
  *Id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
  if (*Id == nullptr) return E_OUTOFMEMORY;
  std::wmemcpy(*Id, m_name.c_str(), m_name.size() + 1);
  return S_OK;
}

STDMETHODIMP CRecordingPin::QueryAccept(const AM_MEDIA_TYPE* pmt) {
  return pmt != nullptr && pmt->majortype == MEDIATYPE_Video ? S_OK : S_FALSE;
}

STDMETHODIMP CRecordingPin::EnumMediaTypes(IEnumMediaTypes** ppEnum) {
  if (ppEnum != nullptr) *ppEnum = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP CRecordingPin::QueryInternalConnections(IPin**, ULONG*) { return E_NOTIMPL; }
STDMETHODIMP CRecordingPin::EndOfStream() { return S_OK; }
STDMETHODIMP CRecordingPin::BeginFlush() { return S_OK; }
STDMETHODIMP CRecordingPin::EndFlush() { return S_OK; }
STDMETHODIMP CRecordingPin::NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) { return S_OK; }

GUID CRecordingPin::ConnectedSubtype() {
  const std::lock_guard<std::mutex> hold(m_lock);
  return m_peer ? m_type.subtype : GUID_NULL;
}

// ---------------------------------------------------------------------------------------
// CRecordingFilter

CRecordingFilter* CRecordingFilter::Create(const char* tag, bool hasInput, bool hasOutput, CCallLog* log,
                                           std::atomic<int>* destroyed) {
  return new CRecordingFilter(tag, hasInput, hasOutput, log, destroyed);
}

CRecordingFilter::CRecordingFilter(const char* tag, bool hasInput, bool hasOutput, CCallLog* log,
                                   std::atomic<int>* destroyed)
    : m_tag(tag), m_log(log), m_destroyed(destroyed), m_preferredSubtype(MEDIASUBTYPE_RGB24) {
  if (hasInput) m_input = new CRecordingPin(this, PINDIR_INPUT, L"In");
  if (hasOutput) m_output = new CRecordingPin(this, PINDIR_OUTPUT, L"Out");
}

CRecordingFilter::~CRecordingFilter() {
  StopWorker();
  delete m_input;
  delete m_output;
  m_clock.Reset();
  ++*m_destroyed;
}

void CRecordingFilter::Record(const char* call) { m_log->Add(m_tag + ":" + call); }

STDMETHODIMP CRecordingFilter::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter) {
    *ppv = static_cast<IBaseFilter*>(this);
    AddRef();  // The caller's reference (QueryInterface hands one over).
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CRecordingFilter::AddRef() { return ++m_refs; }

STDMETHODIMP_(ULONG) CRecordingFilter::Release() {
  const ULONG left = --m_refs;
  if (left == 0) delete this;
  return left;
}

STDMETHODIMP CRecordingFilter::GetClassID(CLSID* pClassID) {
  if (pClassID == nullptr) return E_POINTER;
  *pClassID = GUID_NULL;
  return S_OK;
}

STDMETHODIMP CRecordingFilter::Stop() {
  Record("Stop");
  StopWorker();
  const std::lock_guard<std::mutex> hold(m_lock);
  m_state = State_Stopped;
  return S_OK;
}

STDMETHODIMP CRecordingFilter::Pause() {
  Record("Pause");
  const std::lock_guard<std::mutex> hold(m_lock);
  m_clockAtPause = m_clock.Get();
  if (FAILED(m_pauseResult)) return m_pauseResult;
  m_state = State_Paused;
  return S_OK;
}

STDMETHODIMP CRecordingFilter::Run(REFERENCE_TIME tStart) {
  Record("Run");
  const std::lock_guard<std::mutex> hold(m_lock);
  m_state = State_Running;
  m_start = tStart;
  if (m_workerOnRun && !m_worker.joinable() && m_graph != nullptr) {
    // Filters keep the sink unreferenced, as they keep the graph.
    IMediaEventSink* const sink = QueryAs<IMediaEventSink>(m_graph, IID_IMediaEventSink).Get();
    if (sink != nullptr) {
      m_workerStop = false;
      m_worker = std::thread([this, sink] {
        for (LONG_PTR n = 0; !m_workerStop.load(); ++n) {
          sink->Notify(EC_USER + 1, n, 0);
          std::this_thread::yield();
        }
      });
    }
  }
  return S_OK;
}

void CRecordingFilter::StopWorker() {
  std::thread worker;
  {
    const std::lock_guard<std::mutex> hold(m_lock);
    worker = std::move(m_worker);
  }
  m_workerStop = true;
  if (worker.joinable()) worker.join();
}

STDMETHODIMP CRecordingFilter::GetState(DWORD, FILTER_STATE* State) {
  if (State == nullptr) return E_POINTER;
  const std::lock_guard<std::mutex> hold(m_lock);
  *State = m_state;
  return m_cantCue && m_state == State_Paused ? VFW_S_CANT_CUE : S_OK;
}

STDMETHODIMP CRecordingFilter::SetSyncSource(IReferenceClock* pClock) {
  Record("Clock");
  const std::lock_guard<std::mutex> hold(m_lock);
  m_clock.Reset(pClock, kAddRef);
  return S_OK;
}

STDMETHODIMP CRecordingFilter::GetSyncSource(IReferenceClock** pClock) {
  if (pClock == nullptr) return E_POINTER;
  const std::lock_guard<std::mutex> hold(m_lock);
  *pClock = m_clock.NewReference();  // The caller's reference (GetSyncSource hands one over).
  return S_OK;
}

STDMETHODIMP CRecordingFilter::EnumPins(IEnumPins** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  std::vector<IPin*> pins;
  if (m_input != nullptr) pins.push_back(m_input);
  if (m_output != nullptr) pins.push_back(m_output);
  *ppEnum = new CPinEnumerator(this, std::move(pins), 0);
  return S_OK;
}

STDMETHODIMP CRecordingFilter::FindPin(LPCWSTR Id, IPin** ppPin) {
  if (Id == nullptr || ppPin == nullptr) return E_POINTER;
  *ppPin = nullptr;
  if (m_input != nullptr && std::wcscmp(Id, L"In") == 0) *ppPin = m_input;
  if (m_output != nullptr && std::wcscmp(Id, L"Out") == 0) *ppPin = m_output;
  if (*ppPin == nullptr) return VFW_E_NOT_FOUND;
  (*ppPin)->AddRef();  // The caller's reference (FindPin hands one over).
  return S_OK;
}

STDMETHODIMP CRecordingFilter::QueryFilterInfo(FILTER_INFO* pInfo) {
  if (pInfo == nullptr) return E_POINTER;
  const std::lock_guard<std::mutex> hold(m_lock);
  std::wcsncpy(pInfo->achName, m_name.c_str(), MAX_FILTER_NAME - 1);
  pInfo->achName[MAX_FILTER_NAME - 1] = L'\0';
  pInfo->pGraph = m_graph;
  if (m_graph != nullptr) m_graph->AddRef();  // The caller's reference (QueryFilterInfo hands one over).
  return S_OK;
}

STDMETHODIMP CRecordingFilter::JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) {
  Record(pGraph != nullptr ? "Join" : "Leave");
  const std::lock_guard<std::mutex> hold(m_lock);
  m_graph = pGraph;
  m_name = pName != nullptr ? pName : L"";
  return S_OK;
}

STDMETHODIMP CRecordingFilter::QueryVendorInfo(LPWSTR* pVendorInfo) {
  if (pVendorInfo != nullptr) *pVendorInfo = nullptr;
  return E_NOTIMPL;
}

FILTER_STATE CRecordingFilter::State() {
  const std::lock_guard<std::mutex> hold(m_lock);
  return m_state;
}

std::wstring CRecordingFilter::JoinedName() {
  const std::lock_guard<std::mutex> hold(m_lock);
  return m_name;
}

IFilterGraph* CRecordingFilter::JoinedGraph() {
  const std::lock_guard<std::mutex> hold(m_lock);
  return m_graph;
}

IReferenceClock* CRecordingFilter::Clock() {
  const std::lock_guard<std::mutex> hold(m_lock);
  return m_clock.Get();
}

IReferenceClock* CRecordingFilter::ClockAtPause() {
  const std::lock_guard<std::mutex> hold(m_lock);
  return m_clockAtPause;
}

REFERENCE_TIME CRecordingFilter::LastStart() {
  const std::lock_guard<std::mutex> hold(m_lock);
  return m_start;
}

GUID CRecordingFilter::PreferredSubtype() {
  const std::lock_guard<std::mutex> hold(m_lock);
  return m_preferredSubtype;
}

void CRecordingFilter::FailPauseWith(HRESULT hr) {
  const std::lock_guard<std::mutex> hold(m_lock);
  m_pauseResult = hr;
}

void CRecordingFilter::SetCantCue(bool cantCue) {
  const std::lock_guard<std::mutex> hold(m_lock);
  m_cantCue = cantCue;
}

void CRecordingFilter::SetPreferredSubtype(const GUID& subtype) {
  const std::lock_guard<std::mutex> hold(m_lock);
  m_preferredSubtype = subtype;
}

void CRecordingFilter::StartWorkerOnRun(bool start) {
  const std::lock_guard<std::mutex> hold(m_lock);
  m_workerOnRun = start;
}

}  // namespace testing_support
