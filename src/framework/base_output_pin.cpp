#include "framework/base_output_pin.h"

#include "framework/mem_allocator.h"

CBaseOutputPin::CBaseOutputPin(const WCHAR* pObjectName, CBaseFilter* pFilter, std::recursive_mutex* pLock,
                               HRESULT* phr, LPCWSTR pName)
    : CBasePin(pObjectName, pFilter, pLock, phr, pName, PINDIR_OUTPUT) {}

CBaseOutputPin::~CBaseOutputPin() {
  if (m_pAllocator != nullptr) {
    m_pAllocator->Decommit();
    m_pAllocator->Release();
  }
  if (m_pInputPin != nullptr) m_pInputPin->Release();
}

STDMETHODIMP CBaseOutputPin::EndOfStream() { return E_UNEXPECTED; }
STDMETHODIMP CBaseOutputPin::BeginFlush() { return E_UNEXPECTED; }
STDMETHODIMP CBaseOutputPin::EndFlush() { return E_UNEXPECTED; }

HRESULT CBaseOutputPin::CheckConnect(IPin* pPin) {
  HRESULT hr = CBasePin::CheckConnect(pPin);
  if (FAILED(hr)) return hr;
  IMemInputPin* input = nullptr;
  hr = pPin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input));
  if (FAILED(hr)) return hr;
  if (input == nullptr) return E_NOINTERFACE;
  if (m_pInputPin != nullptr) m_pInputPin->Release();
  m_pInputPin = input;
  return S_OK;
}

HRESULT CBaseOutputPin::BreakConnect() {
  if (m_pAllocator != nullptr) {
    const HRESULT hr = m_pAllocator->Decommit();
    if (FAILED(hr)) return hr;
    m_pAllocator->Release();
    m_pAllocator = nullptr;
  }
  if (m_pInputPin != nullptr) {
    m_pInputPin->Release();
    m_pInputPin = nullptr;
  }
  return S_OK;
}

HRESULT CBaseOutputPin::CompleteConnect(IPin* /*pReceivePin*/) {
  if (m_pInputPin == nullptr) return E_UNEXPECTED;
  return DecideAllocator(m_pInputPin, &m_pAllocator);
}

HRESULT CBaseOutputPin::DecideAllocator(IMemInputPin* pPin, IMemAllocator** ppAlloc) {
  *ppAlloc = nullptr;
  ALLOCATOR_PROPERTIES props{};
  pPin->GetAllocatorRequirements(&props);
  if (props.cbAlign == 0) props.cbAlign = 1;

  HRESULT hr = pPin->GetAllocator(ppAlloc);
  if (SUCCEEDED(hr) && *ppAlloc != nullptr) {
    hr = DecideBufferSize(*ppAlloc, &props);
    if (SUCCEEDED(hr)) {
      hr = pPin->NotifyAllocator(*ppAlloc, FALSE);
      if (SUCCEEDED(hr)) return S_OK;
    }
  }
  if (*ppAlloc != nullptr) {
    (*ppAlloc)->Release();
    *ppAlloc = nullptr;
  }

  hr = InitAllocator(ppAlloc);
  if (SUCCEEDED(hr)) {
    hr = DecideBufferSize(*ppAlloc, &props);
    if (SUCCEEDED(hr)) {
      hr = pPin->NotifyAllocator(*ppAlloc, FALSE);
      if (SUCCEEDED(hr)) return S_OK;
    }
  }
  if (*ppAlloc != nullptr) {
    (*ppAlloc)->Release();
    *ppAlloc = nullptr;
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
  if (m_pAllocator == nullptr) return E_NOINTERFACE;
  return m_pAllocator->GetBuffer(ppSample, pStartTime, pEndTime, dwFlags);
}

HRESULT CBaseOutputPin::Deliver(IMediaSample* pSample) {
  if (m_pInputPin == nullptr) return VFW_E_NOT_CONNECTED;
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
