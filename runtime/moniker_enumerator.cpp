#include "runtime/moniker_enumerator.h"

#include <new>

#include "com/query_answer.h"

HRESULT CMonikerEnumerator::Create(std::vector<CComPtr<IMoniker>> monikers, IEnumMoniker** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  *ppEnum = nullptr;
  auto* enumerator = new (std::nothrow) CMonikerEnumerator(std::move(monikers), 0);
  if (enumerator == nullptr) return E_OUTOFMEMORY;
  *ppEnum = enumerator;  // The caller's reference: the new object's first.
  return S_OK;
}

STDMETHODIMP CMonikerEnumerator::QueryInterface(REFIID riid, void** ppv) {
  return AnswerQuery(static_cast<IEnumMoniker*>(this), riid, ppv, {IID_IUnknown, IID_IEnumMoniker});
}

STDMETHODIMP CMonikerEnumerator::Next(ULONG celt, IMoniker** rgelt, ULONG* pceltFetched) {
  if (rgelt == nullptr || (pceltFetched == nullptr && celt != 1)) return E_POINTER;
  if (pceltFetched != nullptr) *pceltFetched = 0;
  CLockHolder<CLock> hold(m_lock);
  ULONG fetched = 0;
  while (fetched < celt && m_position < m_monikers.size()) {
    // The caller's reference (Next hands one over per moniker).
    rgelt[fetched++] = m_monikers[m_position++].NewReference();
  }
  if (pceltFetched != nullptr) *pceltFetched = fetched;
  return fetched == celt ? S_OK : S_FALSE;
}

STDMETHODIMP CMonikerEnumerator::Skip(ULONG celt) {
  CLockHolder<CLock> hold(m_lock);
  const size_t left = m_monikers.size() - m_position;
  if (celt > left) {
    m_position = m_monikers.size();
    return S_FALSE;
  }
  m_position += celt;
  return S_OK;
}

STDMETHODIMP CMonikerEnumerator::Reset() {
  CLockHolder<CLock> hold(m_lock);
  m_position = 0;
  return S_OK;
}

STDMETHODIMP CMonikerEnumerator::Clone(IEnumMoniker** ppenum) {
  if (ppenum == nullptr) return E_POINTER;
  *ppenum = nullptr;
  CLockHolder<CLock> hold(m_lock);
  try {
    // The copy takes a reference on every moniker.
    auto* clone = new (std::nothrow) CMonikerEnumerator(m_monikers, m_position);
    if (clone == nullptr) return E_OUTOFMEMORY;
    *ppenum = clone;  // The caller's reference: the new object's first.
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}
