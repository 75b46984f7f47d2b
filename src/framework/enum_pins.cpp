#include "framework/enum_pins.h"

#include <algorithm>
#include <new>

#include "framework/base_filter.h"
#include "framework/base_pin.h"

CEnumPins::CEnumPins(CBaseFilter* pFilter, const CEnumPins* pEnumPins) : m_pFilter(pFilter, kAddRef) {
  if (pEnumPins == nullptr) {
    m_Version = m_pFilter->GetPinVersion();
    m_PinCount = m_pFilter->GetPinCount();
  } else {
    m_Position = pEnumPins->m_Position;
    m_PinCount = pEnumPins->m_PinCount;
    m_Version = pEnumPins->m_Version;
    m_PinCache = pEnumPins->m_PinCache;
  }
}

CEnumPins::~CEnumPins() = default;

STDMETHODIMP CEnumPins::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IEnumPins) || IsEqualIID(riid, IID_IUnknown)) {
    *ppv = static_cast<IEnumPins*>(this);
    AddRef();  // The caller's reference (QueryInterface hands one over).
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CEnumPins::AddRef() { return static_cast<ULONG>(m_cRef.fetch_add(1) + 1); }

STDMETHODIMP_(ULONG) CEnumPins::Release() {
  const LONG count = m_cRef.fetch_sub(1) - 1;
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

bool CEnumPins::AreWeOutOfSync() const { return m_pFilter->GetPinVersion() != m_Version; }

void CEnumPins::Refresh() {
  m_Version = m_pFilter->GetPinVersion();
  m_PinCount = m_pFilter->GetPinCount();
  m_Position = 0;
}

STDMETHODIMP CEnumPins::Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched) {
  if (ppPins == nullptr) return E_POINTER;
  if (pcFetched != nullptr) {
    *pcFetched = 0;
  } else if (cPins > 1) {
    return E_INVALIDARG;
  }
  if (AreWeOutOfSync()) Refresh();

  ULONG fetched = 0;
  while (fetched < cPins && m_Position < m_PinCount) {
    CBasePin* pin = m_pFilter->GetPin(m_Position);
    ++m_Position;
    if (pin == nullptr) {
      if (pcFetched != nullptr) *pcFetched = fetched;
      return VFW_E_ENUM_OUT_OF_SYNC;
    }
    IPin* ipin = pin;
    if (std::find(m_PinCache.begin(), m_PinCache.end(), ipin) != m_PinCache.end()) continue;
    try {
      m_PinCache.push_back(ipin);
    } catch (const std::bad_alloc&) {
      --m_Position;
      break;
    }
    ipin->AddRef();  // The caller's reference (Next hands one over per pin).
    ppPins[fetched++] = ipin;
  }
  if (pcFetched != nullptr) *pcFetched = fetched;
  return fetched == cPins ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumPins::Skip(ULONG cPins) {
  if (AreWeOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
  const ULONG left = static_cast<ULONG>(m_PinCount - m_Position);
  if (cPins > left) return S_FALSE;
  m_Position += static_cast<int>(cPins);
  return S_OK;
}

STDMETHODIMP CEnumPins::Reset() {
  Refresh();
  m_PinCache.clear();
  return S_OK;
}

STDMETHODIMP CEnumPins::Clone(IEnumPins** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  if (AreWeOutOfSync()) {
    *ppEnum = nullptr;
    return VFW_E_ENUM_OUT_OF_SYNC;
  }
  try {
    *ppEnum = new CEnumPins(m_pFilter.Get(), this);
  } catch (const std::bad_alloc&) {
    *ppEnum = nullptr;
    return E_OUTOFMEMORY;
  }
  return S_OK;
}
