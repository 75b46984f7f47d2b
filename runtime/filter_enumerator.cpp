#include "runtime/filter_enumerator.h"

#include "runtime/filter_graph.h"

CFilterEnumerator::CFilterEnumerator(CFilterGraph* graph) : m_graph(graph) { m_graph->AddRef(); }

CFilterEnumerator::~CFilterEnumerator() {
  DropSnapshot();
  m_graph->Release();
}

HRESULT CFilterEnumerator::Create(CFilterGraph* graph, IEnumFilters** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  *ppEnum = nullptr;
  auto* enumerator = new (std::nothrow) CFilterEnumerator(graph);
  if (enumerator == nullptr) return E_OUTOFMEMORY;
  if (!enumerator->TakeSnapshot()) {
    enumerator->Release();
    return E_OUTOFMEMORY;
  }
  *ppEnum = enumerator;
  return S_OK;
}

bool CFilterEnumerator::TakeSnapshot() {
  DropSnapshot();
  return m_graph->SnapshotFilters(&m_filters, &m_version);
}

void CFilterEnumerator::DropSnapshot() {
  for (IBaseFilter* filter : m_filters) filter->Release();
  m_filters.clear();
  m_position = 0;
}

STDMETHODIMP CFilterEnumerator::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IEnumFilters) {
    *ppv = static_cast<IEnumFilters*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP CFilterEnumerator::Next(ULONG cFilters, IBaseFilter** ppFilter, ULONG* pcFetched) {
  if (ppFilter == nullptr || (pcFetched == nullptr && cFilters != 1)) return E_POINTER;
  if (pcFetched != nullptr) *pcFetched = 0;
  const std::lock_guard<std::mutex> hold(m_lock);
  if (m_graph->FilterListVersion() != m_version) return VFW_E_ENUM_OUT_OF_SYNC;
  ULONG fetched = 0;
  while (fetched < cFilters && m_position < m_filters.size()) {
    IBaseFilter* filter = m_filters[m_position++];
    filter->AddRef();
    ppFilter[fetched++] = filter;
  }
  if (pcFetched != nullptr) *pcFetched = fetched;
  return fetched == cFilters ? S_OK : S_FALSE;
}

STDMETHODIMP CFilterEnumerator::Skip(ULONG cFilters) {
  const std::lock_guard<std::mutex> hold(m_lock);
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
  const std::lock_guard<std::mutex> hold(m_lock);
  return TakeSnapshot() ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CFilterEnumerator::Clone(IEnumFilters** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  *ppEnum = nullptr;
  auto* clone = new (std::nothrow) CFilterEnumerator(m_graph);
  if (clone == nullptr) return E_OUTOFMEMORY;
  const std::lock_guard<std::mutex> hold(m_lock);
  try {
    clone->m_filters = m_filters;
  } catch (const std::bad_alloc&) {
    clone->Release();
    return E_OUTOFMEMORY;
  }
  for (IBaseFilter* filter : clone->m_filters) filter->AddRef();
  clone->m_version = m_version;
  clone->m_position = m_position;
  *ppEnum = clone;
  return S_OK;
}
