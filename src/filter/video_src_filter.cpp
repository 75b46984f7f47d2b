#include "filter/video_src_filter.h"

#include <new>

#include "diagnostics/trace_scope.h"
#include "filter/video_src_stream.h"
#include "com/com_ptr.h"
#include "framework/dumps.h"
#include "identity/camera_identity.h"

namespace {

constexpr DWORD kAllSeekingCapabilities = 0xFF;
constexpr DWORD kCheckedCapabilities = 0x7F;
constexpr REFTIME kDurationSeconds = 1000.0;

// The camera's class identifier; the built-in one until start-up has fixed the identity.
CLSID FilterClsid() { return g_pFilterClsid != nullptr ? *g_pFilterClsid : CLSID_Amberline; }

}  // namespace

CUnknown* WINAPI CVideoSrcFilter::CreateInstance(IUnknown* pUnk, HRESULT* phr) {
  CTraceScope scope(0, L"CVideoSrcFilter::CreateInstance");
  auto* filter = new (std::nothrow) CVideoSrcFilter(pUnk, phr);
  if (filter == nullptr) {
    if (phr != nullptr) *phr = E_OUTOFMEMORY;
    return nullptr;
  }
  return filter;
}

CVideoSrcFilter::CVideoSrcFilter(IUnknown* pUnk, HRESULT* phr) : CSource(nullptr, pUnk, FilterClsid()) {
  CTraceScope scope(0, L"CVideoSrcFilter::CVideoSrcFilter");
  CLockHolder<CRecursiveLock> hold(m_cStateLock);
  // The stream adds itself to the stream array. A channel that could not be opened is
  // no failure of the filter: the stream then shows its placeholder.
  auto* stream = new (std::nothrow) CVideoSrcStream(phr, this, L"~Capture");
  if (phr != nullptr) *phr = stream != nullptr ? S_OK : E_OUTOFMEMORY;
}

CVideoSrcFilter::~CVideoSrcFilter() {
  // A filter released while it still runs ends its stream's worker here, while the whole
  // object still exists: the worker calls into the filter (StreamTime) until it ends.
  if (!IsStopped()) CBaseFilter::Stop();
}

CVideoSrcStream* CVideoSrcFilter::Stream() { return static_cast<CVideoSrcStream*>(GetPin(0)); }

CBaseStreamControl* CVideoSrcFilter::StreamControl(int n) { return static_cast<CVideoSrcStream*>(GetPin(n)); }

STDMETHODIMP CVideoSrcFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  CTraceScope scope(1, L"CVideoSrcFilter::NonDelegatingQueryInterface");
  LogInterfaceName(1, riid);
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IAMFilterMiscFlags)) return GetInterface(static_cast<IAMFilterMiscFlags*>(this), ppv);
  if (IsEqualIID(riid, IID_IPersistPropertyBag)) return GetInterface(static_cast<IPersistPropertyBag*>(this), ppv);
  if (IsEqualIID(riid, IID_IMediaSeeking)) return GetInterface(static_cast<IMediaSeeking*>(this), ppv);
  if (IsEqualIID(riid, IID_IMediaPosition)) return GetInterface(static_cast<IMediaPosition*>(this), ppv);
  return CSource::NonDelegatingQueryInterface(riid, ppv);
}

// ---- state and graph ----

STDMETHODIMP CVideoSrcFilter::GetClassID(CLSID* pClsID) {
  CTraceScope scope(1, L"CVideoSrcFilter::GetClassID");
  return CSource::GetClassID(pClsID);
}

STDMETHODIMP CVideoSrcFilter::Stop() {
  CTraceScope scope(1, L"CVideoSrcFilter::Stop");
  const HRESULT hr = CSource::Stop();
  if (FAILED(hr)) return hr;
  for (int i = 0; i < GetPinCount(); ++i) StreamControl(i)->NotifyFilterState(State_Stopped, 0);
  return S_OK;
}

STDMETHODIMP CVideoSrcFilter::Pause() {
  CTraceScope scope(1, L"CVideoSrcFilter::Pause");
  const HRESULT hr = CSource::Pause();
  if (FAILED(hr)) return hr;
  for (int i = 0; i < GetPinCount(); ++i) StreamControl(i)->NotifyFilterState(State_Paused, 0);
  return S_OK;
}

STDMETHODIMP CVideoSrcFilter::Run(REFERENCE_TIME tStart) {
  CTraceScope scope(1, L"CVideoSrcFilter::Run");
  const HRESULT hr = CSource::Run(tStart);
  if (FAILED(hr)) return hr;
  for (int i = 0; i < GetPinCount(); ++i) StreamControl(i)->NotifyFilterState(State_Running, tStart);
  return S_OK;
}

STDMETHODIMP CVideoSrcFilter::GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* State) {
  CTraceScope scope(1, L"CVideoSrcFilter::GetState");
  if (State == nullptr) return E_POINTER;
  const HRESULT hr = CSource::GetState(dwMilliSecsTimeout, State);
  if (FAILED(hr)) return hr;
  return *State == State_Paused ? VFW_S_CANT_CUE : S_OK;
}

STDMETHODIMP CVideoSrcFilter::SetSyncSource(IReferenceClock* pClock) {
  CTraceScope scope(1, L"CVideoSrcFilter::SetSyncSource");
  const HRESULT hr = CSource::SetSyncSource(pClock);
  if (FAILED(hr)) return hr;
  for (int i = 0; i < GetPinCount(); ++i) StreamControl(i)->SetSyncSource(pClock);
  return S_OK;
}

STDMETHODIMP CVideoSrcFilter::JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) {
  CTraceScope scope(1, L"CVideoSrcFilter::JoinFilterGraph (pGraph=%X)",
                    static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(pGraph)));
  const HRESULT hr = CSource::JoinFilterGraph(pGraph, pName);
  if (FAILED(hr)) return hr;
  const auto sink = QueryAs<IMediaEventSink>(pGraph, IID_IMediaEventSink);
  // The graph owns the filter: the stream keeps the sink without a reference.
  for (int i = 0; i < GetPinCount(); ++i) StreamControl(i)->SetFilterGraph(sink.Get());
  return S_OK;
}

STDMETHODIMP_(ULONG) CVideoSrcFilter::GetMiscFlags() {
  CTraceScope scope(1, L"CVideoSrcFilter::GetMiscFlags");
  return AM_FILTER_MISC_FLAGS_IS_SOURCE;
}

// ---- IPersistPropertyBag ----

STDMETHODIMP CVideoSrcFilter::InitNew() {
  CTraceScope scope(1, L"CVideoSrcFilter::InitNew");
  return S_OK;
}

STDMETHODIMP CVideoSrcFilter::Load(IPropertyBag* pPropBag, IErrorLog* /*pErrorLog*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::Load");
  return pPropBag == nullptr ? E_POINTER : S_OK;
}

STDMETHODIMP CVideoSrcFilter::Save(IPropertyBag* pPropBag, BOOL /*fClearDirty*/, BOOL /*fSaveAllProperties*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::Save");
  return pPropBag == nullptr ? E_POINTER : S_OK;
}

// ---- IMediaSeeking ----

STDMETHODIMP CVideoSrcFilter::GetCapabilities(DWORD* pCapabilities) {
  CTraceScope scope(1, L"CVideoSrcFilter::GetCapabilities");
  return StoreAnswer(pCapabilities, kAllSeekingCapabilities);
}

STDMETHODIMP CVideoSrcFilter::CheckCapabilities(DWORD* pCapabilities) {
  CTraceScope scope(1, L"CVideoSrcFilter::CheckCapabilities");
  if (pCapabilities == nullptr) return E_POINTER;
  const DWORD asked = *pCapabilities;
  if (asked == kCheckedCapabilities) return S_OK;
  *pCapabilities = kCheckedCapabilities;
  return (asked & kCheckedCapabilities) != 0 ? S_FALSE : E_FAIL;
}

STDMETHODIMP CVideoSrcFilter::IsFormatSupported(const GUID* pFormat) {
  CTraceScope scope(1, L"CVideoSrcFilter::IsFormatSupported");
  return pFormat == nullptr ? E_POINTER : S_FALSE;
}

STDMETHODIMP CVideoSrcFilter::QueryPreferredFormat(GUID* pFormat) {
  CTraceScope scope(1, L"CVideoSrcFilter::QueryPreferredFormat");
  return pFormat == nullptr ? E_POINTER : S_FALSE;
}

STDMETHODIMP CVideoSrcFilter::GetTimeFormat(GUID* pFormat) {
  CTraceScope scope(1, L"CVideoSrcFilter::GetTimeFormat");
  return pFormat == nullptr ? E_POINTER : E_NOTIMPL;
}

STDMETHODIMP CVideoSrcFilter::IsUsingTimeFormat(const GUID* pFormat) {
  CTraceScope scope(1, L"CVideoSrcFilter::IsUsingTimeFormat");
  return pFormat == nullptr ? E_POINTER : S_FALSE;
}

STDMETHODIMP CVideoSrcFilter::SetTimeFormat(const GUID* pFormat) {
  CTraceScope scope(1, L"CVideoSrcFilter::SetTimeFormat");
  return pFormat == nullptr ? E_POINTER : S_OK;
}

STDMETHODIMP CVideoSrcFilter::GetDuration(LONGLONG* pDuration) {
  CTraceScope scope(1, L"CVideoSrcFilter::GetDuration");
  return pDuration == nullptr ? E_POINTER : E_NOTIMPL;
}

STDMETHODIMP CVideoSrcFilter::GetStopPosition(LONGLONG* pStop) {
  CTraceScope scope(1, L"CVideoSrcFilter::GetStopPosition");
  return pStop == nullptr ? E_POINTER : E_NOTIMPL;
}

STDMETHODIMP CVideoSrcFilter::GetCurrentPosition(LONGLONG* pCurrent) {
  CTraceScope scope(1, L"CVideoSrcFilter::GetCurrentPosition");
  return pCurrent == nullptr ? E_POINTER : E_NOTIMPL;
}

STDMETHODIMP CVideoSrcFilter::ConvertTimeFormat(LONGLONG* /*pTarget*/, const GUID* /*pTargetFormat*/,
                                                LONGLONG /*Source*/, const GUID* /*pSourceFormat*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::ConvertTimeFormat");
  return E_NOTIMPL;
}

STDMETHODIMP CVideoSrcFilter::SetPositions(LONGLONG* /*pCurrent*/, DWORD /*dwCurrentFlags*/, LONGLONG* /*pStop*/,
                                           DWORD /*dwStopFlags*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::SetPositions");
  return E_NOTIMPL;
}

STDMETHODIMP CVideoSrcFilter::GetPositions(LONGLONG* /*pCurrent*/, LONGLONG* /*pStop*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::GetPositions");
  return E_NOTIMPL;
}

STDMETHODIMP CVideoSrcFilter::GetAvailable(LONGLONG* /*pEarliest*/, LONGLONG* /*pLatest*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::GetAvailable");
  return E_NOTIMPL;
}

STDMETHODIMP CVideoSrcFilter::SetRate(double /*dRate*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::SetRate");
  return E_NOTIMPL;
}

STDMETHODIMP CVideoSrcFilter::GetRate(double* pdRate) {
  CTraceScope scope(1, L"CVideoSrcFilter::GetRate");
  return StoreAnswer(pdRate, 1.0);
}

STDMETHODIMP CVideoSrcFilter::GetPreroll(LONGLONG* pllPreroll) {
  CTraceScope scope(1, L"CVideoSrcFilter::GetPreroll");
  return pllPreroll == nullptr ? E_POINTER : E_NOTIMPL;
}

// ---- IDispatch and IMediaPosition ----

STDMETHODIMP CVideoSrcFilter::GetTypeInfoCount(UINT* /*pctinfo*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::GetTypeInfoCount");
  return E_NOTIMPL;
}

STDMETHODIMP CVideoSrcFilter::GetTypeInfo(UINT /*iTInfo*/, LCID /*lcid*/, ITypeInfo** /*ppTInfo*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::GetTypeInfo");
  return E_NOTIMPL;
}

STDMETHODIMP CVideoSrcFilter::GetIDsOfNames(REFIID /*riid*/, LPOLESTR* /*rgszNames*/, UINT /*cNames*/,
                                            LCID /*lcid*/, DISPID* /*rgDispId*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::GetIDsOfNames");
  return E_NOTIMPL;
}

STDMETHODIMP CVideoSrcFilter::Invoke(DISPID /*dispIdMember*/, REFIID /*riid*/, LCID /*lcid*/, WORD /*wFlags*/,
                                     DISPPARAMS* /*pDispParams*/, VARIANT* /*pVarResult*/,
                                     EXCEPINFO* /*pExcepInfo*/, UINT* /*puArgErr*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::dispIdMember");
  return E_NOTIMPL;
}

STDMETHODIMP CVideoSrcFilter::get_Duration(REFTIME* plength) {
  CTraceScope scope(1, L"CVideoSrcFilter::get_Duration");
  return StoreAnswer(plength, kDurationSeconds);
}

STDMETHODIMP CVideoSrcFilter::put_CurrentPosition(REFTIME /*llTime*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::put_CurrentPosition");
  return E_NOTIMPL;
}

STDMETHODIMP CVideoSrcFilter::get_CurrentPosition(REFTIME* /*pllTime*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::get_CurrentPosition");
  return E_NOTIMPL;
}

STDMETHODIMP CVideoSrcFilter::get_StopTime(REFTIME* pllTime) {
  CTraceScope scope(1, L"CVideoSrcFilter::get_StopTime");
  return StoreAnswer(pllTime, 0.0);
}

STDMETHODIMP CVideoSrcFilter::put_StopTime(REFTIME /*llTime*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::put_StopTime");
  return S_OK;
}

STDMETHODIMP CVideoSrcFilter::get_PrerollTime(REFTIME* pllTime) {
  CTraceScope scope(1, L"CVideoSrcFilter::get_PrerollTime");
  return StoreAnswer(pllTime, 0.0);
}

STDMETHODIMP CVideoSrcFilter::put_PrerollTime(REFTIME /*llTime*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::put_PrerollTime");
  return S_OK;
}

STDMETHODIMP CVideoSrcFilter::put_Rate(double /*dRate*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::put_Rate");
  return S_OK;
}

STDMETHODIMP CVideoSrcFilter::get_Rate(double* pdRate) {
  CTraceScope scope(1, L"CVideoSrcFilter::get_Rate");
  return StoreAnswer(pdRate, 1.0);
}

STDMETHODIMP CVideoSrcFilter::CanSeekForward(LONG* /*pCanSeekForward*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::CanSeekForward");
  return E_NOTIMPL;
}

STDMETHODIMP CVideoSrcFilter::CanSeekBackward(LONG* /*pCanSeekBackward*/) {
  CTraceScope scope(1, L"CVideoSrcFilter::CanSeekBackward");
  return E_NOTIMPL;
}
