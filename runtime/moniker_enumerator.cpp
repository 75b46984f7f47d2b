#include "runtime/moniker_enumerator.h"

#include <new>

HRESULT CMonikerEnumerator::Create(std::vector<IMoniker*> monikers, IEnumMoniker** ppEnum) {
  if (ppEnum == nullptr) {
    for (IMoniker* moniker : monikers) moniker->Release();
    return E_POINTER;
  }
  *ppEnum = nullptr;
  auto* enumerator = new (std::nothrow) CMonikerEnumerator(std::move(monikers), 0);
  if (enumerator == nullptr) {
    for (IMoniker* moniker : monikers) moniker->Release();
    return E_OUTOFMEMORY;
  }
  *ppEnum = enumerator;
  return S_OK;
}

CMonikerEnumerator::~CMonikerEnumerator() {
  for (IMoniker* moniker : m_monikers) moniker->Release();
}

STDMETHODIMP CMonikerEnumerator::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IEnumMoniker) {
    *ppv = static_cast<IEnumMoniker*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP CMonikerEnumerator::Next(ULONG celt, IMoniker** rgelt, ULONG* pceltFetched) {
  if (rgelt == nullptr || (pceltFetched == nullptr && celt != 1)) return E_POINTER;
  if (pceltFetched != nullptr) *pceltFetched = 0;
  const std::lock_guard<std::mutex> hold(m_lock);
  ULONG fetched = 0;
  while (fetched < celt && m_position < m_monikers.size()) {
    IMoniker* moniker = m_monikers[m_position++];
    moniker->AddRef();
    rgelt[fetched++] = moniker;
  }
  if (pceltFetched != nullptr) *pceltFetched = fetched;
  return fetched == celt ? S_OK : S_FALSE;
}

STDMETHODIMP CMonikerEnumerator::Skip(ULONG celt) {
  const std::lock_guard<std::mutex> hold(m_lock);
  const size_t left = m_monikers.size() - m_position;
  if (celt > left) {
    m_position = m_monikers.size();
    return S_FALSE;
  }
  m_position += celt;
  return S_OK;
}

STDMETHODIMP CMonikerEnumerator::Reset() {
  const std::lock_guard<std::mutex> hold(m_lock);
  m_position = 0;
  return S_OK;
}

STDMETHODIMP CMonikerEnumerator::Clone(IEnumMoniker** ppenum) {
  if (ppenum == nullptr) return E_POINTER;
  *ppenum = nullptr;
  const std::lock_guard<std::mutex> hold(m_lock);
  auto* clone = new (std::nothrow) CMonikerEnumerator(m_monikers, m_position);
  if (clone == nullptr) return E_OUTOFMEMORY;
  for (IMoniker* moniker : m_monikers) moniker->AddRef();
  *ppenum = clone;
  return S_OK;
}
