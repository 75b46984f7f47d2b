#include "framework/enum_media_types.h"

#include <climits>
#include <new>

#include "framework/base_pin.h"
#include "framework/media_type.h"

CEnumMediaTypes::CEnumMediaTypes(CBasePin* pPin, const CEnumMediaTypes* pEnumMediaTypes) : m_pPin(pPin, kAddRef) {
  if (pEnumMediaTypes == nullptr) {
    m_Version = m_pPin->GetMediaTypeVersion();
  } else {
    m_Position = pEnumMediaTypes->m_Position;
    m_Version = pEnumMediaTypes->m_Version;
  }
}

CEnumMediaTypes::~CEnumMediaTypes() = default;

STDMETHODIMP CEnumMediaTypes::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IEnumMediaTypes) || IsEqualIID(riid, IID_IUnknown)) {
    *ppv = static_cast<IEnumMediaTypes*>(this);
    AddRef();  // The caller's reference (QueryInterface hands one over).
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CEnumMediaTypes::AddRef() { return static_cast<ULONG>(m_cRef.fetch_add(1) + 1); }

STDMETHODIMP_(ULONG) CEnumMediaTypes::Release() {
  const LONG count = m_cRef.fetch_sub(1) - 1;
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

bool CEnumMediaTypes::AreWeOutOfSync() const { return m_pPin->GetMediaTypeVersion() != m_Version; }

STDMETHODIMP CEnumMediaTypes::Next(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes, ULONG* pcFetched) {
  if (ppMediaTypes == nullptr) return E_POINTER;
  if (AreWeOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
  if (pcFetched != nullptr) {
    *pcFetched = 0;
  } else if (cMediaTypes > 1) {
    return E_INVALIDARG;
  }

  ULONG fetched = 0;
  while (fetched < cMediaTypes) {
    // Positions beyond what an int can hold are never offered.
    if (m_Position > static_cast<ULONG>(INT_MAX)) break;
    CMediaType type;
    const HRESULT hr = m_pPin->GetMediaType(static_cast<int>(m_Position++), &type);
    if (hr != S_OK) break;
    auto* record = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (record == nullptr) break;
    // The record takes over the format block and pUnk; type is left empty.
    *record = type;
    type.InitMediaType();
    ppMediaTypes[fetched++] = record;
  }
  if (pcFetched != nullptr) *pcFetched = fetched;
  return fetched == cMediaTypes ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumMediaTypes::Skip(ULONG cMediaTypes) {
  if (cMediaTypes == 0) return S_OK;
  if (AreWeOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
  m_Position += cMediaTypes;
  if (m_Position > static_cast<ULONG>(INT_MAX) + 1u || m_Position < cMediaTypes) return S_FALSE;
  CMediaType type;
  return m_pPin->GetMediaType(static_cast<int>(m_Position - 1), &type) == S_OK ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumMediaTypes::Reset() {
  m_Position = 0;
  m_Version = m_pPin->GetMediaTypeVersion();
  return S_OK;
}

STDMETHODIMP CEnumMediaTypes::Clone(IEnumMediaTypes** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  if (AreWeOutOfSync()) {
    *ppEnum = nullptr;
    return VFW_E_ENUM_OUT_OF_SYNC;
  }
  *ppEnum = new (std::nothrow) CEnumMediaTypes(m_pPin.Get(), this);
  return *ppEnum == nullptr ? E_OUTOFMEMORY : S_OK;
}
