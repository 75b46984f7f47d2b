#include "framework/base_pin.h"

#include <cstring>
#include <cwchar>
#include <new>

#include "framework/base_filter.h"
#include "framework/scoped_media_type.h"
#include "framework/enum_media_types.h"

namespace {

// The failures that only say "this type was not taken", reported as such.
bool IsTypeRefusal(HRESULT hr) { return hr == E_FAIL || hr == E_INVALIDARG || hr == VFW_E_TYPE_NOT_ACCEPTED; }

// A CheckMediaType result that is not S_OK, as a connection reports it.
HRESULT MapTypeCheckFailure(HRESULT hr) {
  return SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG ? VFW_E_TYPE_NOT_ACCEPTED : hr;
}

}  // namespace

CBasePin::CBasePin(const WCHAR* pObjectName, CBaseFilter* pFilter, CRecursiveLock* pLock, HRESULT* /*phr*/,
                   LPCWSTR pName, PIN_DIRECTION dir)
    : CUnknown(pObjectName, nullptr), m_dir(dir), m_pLock(pLock), m_pFilter(pFilter) {
  if (pName != nullptr) {
    const std::size_t length = std::wcslen(pName);
    m_pName = new (std::nothrow) WCHAR[length + 1];
    if (m_pName != nullptr) std::wmemcpy(m_pName, pName, length + 1);
  }
}

CBasePin::~CBasePin() {
  delete[] m_pName;
  ClearConnected();
}

STDMETHODIMP CBasePin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IPin)) return GetInterface(static_cast<IPin*>(this), ppv);
  if (IsEqualIID(riid, IID_IQualityControl)) return GetInterface(static_cast<IQualityControl*>(this), ppv);
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP_(ULONG) CBasePin::NonDelegatingAddRef() { return m_pFilter->AddRef(); }

STDMETHODIMP_(ULONG) CBasePin::NonDelegatingRelease() { return m_pFilter->Release(); }

bool CBasePin::IsStopped() const { return m_pFilter->IsStopped(); }

void CBasePin::SetConnected(IPin* pPin) {
  CComPtr<IPin> peer(pPin, kAddRef);
  {
    CLockHolder<CLock> hold(m_connectionLock);
    m_connectedPeer.Swap(peer);
    m_Connected.store(pPin);
  }
  // `peer` now holds the old peer and drops it outside the lock.
}

void CBasePin::ClearConnected() { SetConnected(nullptr); }

HRESULT CBasePin::CopyConnectionType(CMediaType* pType) const {
  if (pType == nullptr) return E_POINTER;
  CLockHolder<CLock> hold(m_connectionLock);
  return pType->Set(m_mt);
}

STDMETHODIMP CBasePin::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) {
  if (pReceivePin == nullptr) return E_POINTER;
  CLockHolder<CRecursiveLock> hold(*m_pLock);
  if (m_Connected != nullptr) return VFW_E_ALREADY_CONNECTED;
  if (!IsStopped() && !m_bCanReconnectWhenActive) return VFW_E_NOT_STOPPED;
  const HRESULT hr = AgreeMediaType(pReceivePin, static_cast<const CMediaType*>(pmt));
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }
  return S_OK;
}

HRESULT CBasePin::AgreeMediaType(IPin* pReceivePin, const CMediaType* pmt) {
  if (pmt != nullptr && !pmt->IsPartiallySpecified()) return AttemptConnection(pReceivePin, pmt);

  HRESULT remembered = VFW_E_NO_ACCEPTABLE_TYPES;
  for (int round = 0; round < 2; ++round) {
    // With the flag clear the receiving pin's preferred types come first.
    const bool ours = round != (m_bTryMyTypesFirst ? 1 : 0);
    CComPtr<IEnumMediaTypes> types;
    const HRESULT got = ours ? EnumMediaTypes(types.Receive()) : pReceivePin->EnumMediaTypes(types.Receive());
    if (FAILED(got) || !types) continue;
    const HRESULT hr = TryMediaTypes(pReceivePin, pmt, types.Get());
    if (SUCCEEDED(hr)) return S_OK;
    // A list that offered nothing acceptable does not hide a real failure of the other.
    if (!IsTypeRefusal(hr) && hr != VFW_E_NO_ACCEPTABLE_TYPES) remembered = hr;
  }
  return remembered;
}

HRESULT CBasePin::TryMediaTypes(IPin* pReceivePin, const CMediaType* pmt, IEnumMediaTypes* pEnum) {
  HRESULT hr = pEnum->Reset();
  if (FAILED(hr)) return hr;
  HRESULT remembered = S_OK;
  for (;;) {
    CScopedMediaType type;
    ULONG fetched = 0;
    hr = pEnum->Next(1, type.Receive(), &fetched);
    if (hr != S_OK) {
      // Nothing was handed over: whatever a peer left in the slot is not ours to free.
      (void)type.Detach();
      return FAILED(remembered) ? remembered : VFW_E_NO_ACCEPTABLE_TYPES;
    }
    // A peer that says S_OK without a record still gave us nothing to free.
    HRESULT attempt = VFW_E_NO_ACCEPTABLE_TYPES;
    if (type) {
      const auto* candidate = static_cast<const CMediaType*>(type.Get());
      if (pmt == nullptr || candidate->MatchesPartial(pmt)) {
        attempt = AttemptConnection(pReceivePin, candidate);
        if (FAILED(attempt) && SUCCEEDED(remembered) && !IsTypeRefusal(attempt)) remembered = attempt;
      }
    }
    if (attempt == S_OK) return S_OK;
  }
}

HRESULT CBasePin::AttemptConnection(IPin* pReceivePin, const CMediaType* pmt) {
  HRESULT hr = CheckConnect(pReceivePin);
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }
  hr = CheckMediaType(pmt);
  if (hr != S_OK) {
    hr = MapTypeCheckFailure(hr);
  } else {
    SetConnected(pReceivePin);
    hr = SetMediaType(pmt);
    if (SUCCEEDED(hr)) {
      hr = pReceivePin->ReceiveConnection(static_cast<IPin*>(this), pmt);
      if (SUCCEEDED(hr)) {
        hr = CompleteConnect(pReceivePin);
        if (SUCCEEDED(hr)) return hr;
        pReceivePin->Disconnect();
      }
    }
  }
  BreakConnect();
  ClearConnected();
  return hr;
}

STDMETHODIMP CBasePin::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) {
  if (pConnector == nullptr || pmt == nullptr) return E_POINTER;
  CLockHolder<CRecursiveLock> hold(*m_pLock);
  if (m_Connected != nullptr) return VFW_E_ALREADY_CONNECTED;
  if (!IsStopped() && !m_bCanReconnectWhenActive) return VFW_E_NOT_STOPPED;
  HRESULT hr = CheckConnect(pConnector);
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }
  const auto* type = static_cast<const CMediaType*>(pmt);
  hr = CheckMediaType(type);
  if (hr != S_OK) {
    BreakConnect();
    return MapTypeCheckFailure(hr);
  }
  SetConnected(pConnector);
  hr = SetMediaType(type);
  if (SUCCEEDED(hr)) {
    hr = CompleteConnect(pConnector);
    if (SUCCEEDED(hr)) return S_OK;
  }
  ClearConnected();
  BreakConnect();
  return hr;
}

STDMETHODIMP CBasePin::Disconnect() {
  CLockHolder<CRecursiveLock> hold(*m_pLock);
  if (!IsStopped()) return VFW_E_NOT_STOPPED;
  if (m_Connected == nullptr) return S_FALSE;
  const HRESULT hr = BreakConnect();
  if (FAILED(hr)) return hr;
  ClearConnected();
  return S_OK;
}

STDMETHODIMP CBasePin::ConnectedTo(IPin** pPin) {
  if (pPin == nullptr) return E_POINTER;
  // The reference is taken under the lock that Disconnect needs before it can release
  // the peer, so the peer handed out is alive.
  CLockHolder<CLock> hold(m_connectionLock);
  *pPin = m_connectedPeer.NewReference();  // The caller's reference (ConnectedTo hands one over).
  return *pPin == nullptr ? VFW_E_NOT_CONNECTED : S_OK;
}

STDMETHODIMP CBasePin::ConnectionMediaType(AM_MEDIA_TYPE* pmt) {
  if (pmt == nullptr) return E_POINTER;
  // Only the leaf lock: a downstream pin may ask from inside Receive on the streaming
  // thread while a state change holds the pin lock and waits for that thread.
  CLockHolder<CLock> type(m_connectionLock);
  if (m_Connected == nullptr) {
    static_cast<CMediaType*>(pmt)->InitMediaType();
    return VFW_E_NOT_CONNECTED;
  }
  return CopyMediaType(pmt, &m_mt);
}

STDMETHODIMP CBasePin::QueryPinInfo(PIN_INFO* pInfo) {
  if (pInfo == nullptr) return E_POINTER;
  pInfo->pFilter = m_pFilter;
  if (m_pFilter != nullptr) m_pFilter->AddRef();  // The caller's reference (QueryPinInfo hands one over).
  std::size_t length = 0;
  if (m_pName != nullptr) {
    while (length < MAX_PIN_NAME - 1 && m_pName[length] != 0) ++length;
    std::wmemcpy(pInfo->achName, m_pName, length);
  }
  pInfo->achName[length] = 0;
  pInfo->dir = m_dir;
  return S_OK;
}

STDMETHODIMP CBasePin::QueryDirection(PIN_DIRECTION* pPinDir) {
  if (pPinDir == nullptr) return E_POINTER;
  *pPinDir = m_dir;
  return S_OK;
}

STDMETHODIMP CBasePin::QueryId(LPWSTR* Id) {
  if (Id == nullptr) return E_POINTER;
  const WCHAR* name = m_pName != nullptr ? m_pName : L"";
  const std::size_t bytes = (std::wcslen(name) + 1) * sizeof(WCHAR);
  *Id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
  if (*Id == nullptr) return E_OUTOFMEMORY;
  std::memcpy(*Id, name, bytes);
  return S_OK;
}

STDMETHODIMP CBasePin::QueryAccept(const AM_MEDIA_TYPE* pmt) {
  if (pmt == nullptr) return E_POINTER;
  const HRESULT hr = CheckMediaType(static_cast<const CMediaType*>(pmt));
  return FAILED(hr) ? S_FALSE : hr;
}

STDMETHODIMP CBasePin::EnumMediaTypes(IEnumMediaTypes** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  *ppEnum = new (std::nothrow) CEnumMediaTypes(this, nullptr);
  return *ppEnum == nullptr ? E_OUTOFMEMORY : S_OK;
}

STDMETHODIMP CBasePin::QueryInternalConnections(IPin** /*apPin*/, ULONG* /*nPin*/) { return E_NOTIMPL; }

STDMETHODIMP CBasePin::EndOfStream() { return S_OK; }

STDMETHODIMP CBasePin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {
  m_tStart = tStart;
  m_tStop = tStop;
  m_dRate = dRate;
  return S_OK;
}

STDMETHODIMP CBasePin::Notify(IBaseFilter* /*pSelf*/, Quality /*q*/) { return E_NOTIMPL; }

STDMETHODIMP CBasePin::SetSink(IQualityControl* piqc) {
  CLockHolder<CRecursiveLock> hold(*m_pLock);
  m_pQSink = piqc;
  return S_OK;
}

HRESULT CBasePin::Inactive() {
  m_bRunTimeError = false;
  return S_OK;
}

HRESULT CBasePin::Run(REFERENCE_TIME /*tStart*/) { return S_OK; }

HRESULT CBasePin::SetMediaType(const CMediaType* pmt) {
  CLockHolder<CLock> hold(m_connectionLock);
  const HRESULT hr = m_mt.Set(*pmt);
  return FAILED(hr) ? hr : S_OK;
}

HRESULT CBasePin::CheckConnect(IPin* pPin) {
  PIN_DIRECTION peer = PINDIR_INPUT;
  const HRESULT hr = pPin->QueryDirection(&peer);
  if (FAILED(hr)) return hr;
  if (peer == m_dir) return VFW_E_INVALID_DIRECTION;
  return S_OK;
}

HRESULT CBasePin::CompleteConnect(IPin* /*pReceivePin*/) { return S_OK; }

HRESULT CBasePin::GetMediaType(int /*iPosition*/, CMediaType* /*pMediaType*/) { return E_UNEXPECTED; }
