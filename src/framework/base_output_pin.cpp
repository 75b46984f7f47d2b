#include "framework/base_output_pin.h"

#include <utility>

#include "framework/mem_allocator.h"

CBaseOutputPin::CBaseOutputPin(const WCHAR* pObjectName, CBaseFilter* pFilter, CRecursiveLock* pLock,
                               HRESULT* phr, LPCWSTR pName)
    : CBasePin(pObjectName, pFilter, pLock, phr, pName, PINDIR_OUTPUT) {}

CBaseOutputPin::~CBaseOutputPin() {
  if (m_pAllocator) m_pAllocator->Decommit();
}

STDMETHODIMP CBaseOutputPin::EndOfStream() { return E_UNEXPECTED; }
STDMETHODIMP CBaseOutputPin::BeginFlush() { return E_UNEXPECTED; }
STDMETHODIMP CBaseOutputPin::EndFlush() { return E_UNEXPECTED; }

HRESULT CBaseOutputPin::CheckConnect(IPin* pPin) {
  HRESULT hr = CBasePin::CheckConnect(pPin);
  if (FAILED(hr)) return hr;
  CComPtr<IMemInputPin> input;
  hr = pPin->QueryInterface(IID_IMemInputPin, input.ReceiveVoid());
  if (FAILED(hr)) {
    (void)input.Detach();  // a refusal hands no reference out
    return hr;
  }
  if (!input) return E_NOINTERFACE;
  m_pInputPin = std::move(input);
  return S_OK;
}

HRESULT CBaseOutputPin::BreakConnect() {
  if (m_pAllocator) {
    const HRESULT hr = m_pAllocator->Decommit();
    if (FAILED(hr)) return hr;
    m_pAllocator.Reset();
  }
  m_pInputPin.Reset();
  return S_OK;
}

HRESULT CBaseOutputPin::CompleteConnect(IPin* /*pReceivePin*/) {
  if (!m_pInputPin) return E_UNEXPECTED;
  return DecideAllocator(m_pInputPin.Get(), m_pAllocator.Receive());
}

HRESULT CBaseOutputPin::DecideAllocator(IMemInputPin* pPin, IMemAllocator** ppAlloc) {
  *ppAlloc = nullptr;
  ALLOCATOR_PROPERTIES props{};
  pPin->GetAllocatorRequirements(&props);
  if (props.cbAlign == 0) props.cbAlign = 1;

  CComPtr<IMemAllocator> allocator;
  HRESULT hr = pPin->GetAllocator(allocator.Receive());
  if (SUCCEEDED(hr) && allocator) {
    hr = DecideBufferSize(allocator.Get(), &props);
    if (SUCCEEDED(hr)) hr = pPin->NotifyAllocator(allocator.Get(), FALSE);
    if (SUCCEEDED(hr)) {
      *ppAlloc = allocator.Detach();  // The caller's reference (DecideAllocator hands one over).
      return S_OK;
    }
  }

  hr = InitAllocator(allocator.Receive());
  if (SUCCEEDED(hr)) {
    hr = DecideBufferSize(allocator.Get(), &props);
    if (SUCCEEDED(hr)) hr = pPin->NotifyAllocator(allocator.Get(), FALSE);
    if (SUCCEEDED(hr)) *ppAlloc = allocator.Detach();  // The caller's reference, as above.
  }
  return hr;
}

HRESULT CBaseOutputPin::InitAllocator(IMemAllocator** ppAlloc) {
  HRESULT hr = S_OK;
  CUnknown* allocator = CMemAllocator::CreateInstance(nullptr, &hr);
  if (allocator == nullptr) return FAILED(hr) ? hr : E_OUTOFMEMORY;
  // The new object has no reference yet: the query gives it its first.
  hr = allocator->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(ppAlloc));
  if (FAILED(hr)) {
    delete allocator;
    return hr;
  }
  return S_OK;
}

HRESULT CBaseOutputPin::GetDeliveryBuffer(IMediaSample** ppSample, REFERENCE_TIME* pStartTime,
                                          REFERENCE_TIME* pEndTime, DWORD dwFlags) {
  if (!m_pAllocator) return E_NOINTERFACE;
  return m_pAllocator->GetBuffer(ppSample, pStartTime, pEndTime, dwFlags);
}

HRESULT CBaseOutputPin::Deliver(IMediaSample* pSample) {
  if (!m_pInputPin) return VFW_E_NOT_CONNECTED;
  return m_pInputPin->Receive(pSample);
}

HRESULT CBaseOutputPin::DeliverEndOfStream() {
  IPin* peer = m_Connected.load();
  if (peer == nullptr) return VFW_E_NOT_CONNECTED;
  return peer->EndOfStream();
}

HRESULT CBaseOutputPin::DeliverBeginFlush() {
  IPin* peer = m_Connected.load();
  if (peer == nullptr) return VFW_E_NOT_CONNECTED;
  return peer->BeginFlush();
}

HRESULT CBaseOutputPin::DeliverEndFlush() {
  IPin* peer = m_Connected.load();
  if (peer == nullptr) return VFW_E_NOT_CONNECTED;
  return peer->EndFlush();
}

HRESULT CBaseOutputPin::DeliverNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {
  IPin* peer = m_Connected.load();
  if (peer == nullptr) return VFW_E_NOT_CONNECTED;
  return peer->NewSegment(tStart, tStop, dRate);
}

HRESULT CBaseOutputPin::Active() {
  if (m_pAllocator == nullptr) return VFW_E_NO_ALLOCATOR;
  return m_pAllocator->Commit();
}

HRESULT CBaseOutputPin::Inactive() {
  m_bRunTimeError = false;
  if (m_pAllocator == nullptr) return VFW_E_NO_ALLOCATOR;
  return m_pAllocator->Decommit();
}
