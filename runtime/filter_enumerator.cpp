#include "runtime/filter_enumerator.h"

#include "com/query_answer.h"
#include "runtime/filter_graph.h"

CFilterEnumerator::CFilterEnumerator(CFilterGraph* graph) : m_graph(graph, kAddRef) {}

CFilterEnumerator::~CFilterEnumerator() { DropSnapshot(); }

HRESULT CFilterEnumerator::Create(CFilterGraph* graph, IEnumFilters** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  *ppEnum = nullptr;
  CComPtr<CFilterEnumerator> enumerator(new (std::nothrow) CFilterEnumerator(graph), kAdoptRef);
  if (!enumerator) return E_OUTOFMEMORY;
  if (!enumerator->TakeSnapshot()) return E_OUTOFMEMORY;
  *ppEnum = enumerator.Detach();  // The caller's reference (EnumFilters hands one over).
  return S_OK;
}

bool CFilterEnumerator::TakeSnapshot() {
  DropSnapshot();
  return m_graph->SnapshotFilters(&m_filters, &m_version);
}

void CFilterEnumerator::DropSnapshot() {
  m_filters.clear();
  m_position = 0;
}

STDMETHODIMP CFilterEnumerator::QueryInterface(REFIID riid, void** ppv) {
  return AnswerQuery(static_cast<IEnumFilters*>(this), riid, ppv, {IID_IUnknown, IID_IEnumFilters});
}

STDMETHODIMP CFilterEnumerator::Next(ULONG cFilters, IBaseFilter** ppFilter, ULONG* pcFetched) {
  if (ppFilter == nullptr || (pcFetched == nullptr && cFilters != 1)) return E_POINTER;
  if (pcFetched != nullptr) *pcFetched = 0;
  CLockHolder<CLock> hold(m_lock);
  if (m_graph->FilterListVersion() != m_version) return VFW_E_ENUM_OUT_OF_SYNC;
  ULONG fetched = 0;
  while (fetched < cFilters && m_position < m_filters.size()) {
    // The caller's reference (Next hands one over per filter).
    ppFilter[fetched++] = m_filters[m_position++].NewReference();
  }
  if (pcFetched != nullptr) *pcFetched = fetched;
  return fetched == cFilters ? S_OK : S_FALSE;
}

STDMETHODIMP CFilterEnumerator::Skip(ULONG cFilters) {
  CLockHolder<CLock> hold(m_lock);
  if (m_graph->FilterListVersion() != m_version) return VFW_E_ENUM_OUT_OF_SYNC;
  const size_t left = m_filters.size() - m_position;
  if (cFilters > left) {
    m_position = m_filters.size();
    return S_FALSE;
  }
  m_position += cFilters;
  return S_OK;
}

STDMETHODIMP CFilterEnumerator::Reset() {
  CLockHolder<CLock> hold(m_lock);
  return TakeSnapshot() ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CFilterEnumerator::Clone(IEnumFilters** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  *ppEnum = nullptr;
  CComPtr<CFilterEnumerator> clone(new (std::nothrow) CFilterEnumerator(m_graph.Get()), kAdoptRef);
  if (!clone) return E_OUTOFMEMORY;
  CLockHolder<CLock> hold(m_lock);
  try {
    clone->m_filters = m_filters;  // a reference on every filter
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  clone->m_version = m_version;
  clone->m_position = m_position;
  *ppEnum = clone.Detach();  // The caller's reference (Clone hands one over).
  return S_OK;
}
