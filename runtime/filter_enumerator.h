// CFilterEnumerator: IEnumFilters over the filters of a filter graph.
//
//   CComPtr<IEnumFilters> filters;
//   graph->EnumFilters(filters.Receive());
//   CComPtr<IBaseFilter> filter;
//   while (filters->Next(1, filter.Receive(), nullptr) == S_OK) Use(filter.Get());
//
// The enumerator works on a copy of the graph's filter list taken when it is created or
// reset, holding a reference on every filter in it and on the graph. When the graph adds
// or removes a filter afterwards, Next and Skip answer VFW_E_ENUM_OUT_OF_SYNC until Reset
// takes a new copy. Next answers S_OK when it handed out as many filters as asked, else
// S_FALSE; pcFetched may be null only when one filter is asked for. Skip answers S_FALSE
// when it reached the end first. A clone starts at the same position with the same copy.
//
// Ownership: reference counted, created by CFilterGraph::EnumFilters. Threading: any
// thread; calls on one enumerator are serialised by its own lock. Reset takes the
// graph's lock under it; the graph never calls an enumerator, so the order is fixed.
#pragma once

#include <mutex>
#include <vector>

#include "platform/annotated_lock.h"
#include "com/com_ptr.h"
#include "platform/dshow_types.h"
#include "runtime/runtime_object.h"

class CFilterGraph;

class CFilterEnumerator final : public IEnumFilters, private CRuntimeObject {
 public:
  // Creates an enumerator at the start of graph's current filter list.
  static HRESULT Create(CFilterGraph* graph, IEnumFilters** ppEnum);

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return AddRefObject(); }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseObject(); }

  STDMETHODIMP Next(ULONG cFilters, IBaseFilter** ppFilter, ULONG* pcFetched) override;
  STDMETHODIMP Skip(ULONG cFilters) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumFilters** ppEnum) override;

 private:
  friend class CRuntimeObject;
  explicit CFilterEnumerator(CFilterGraph* graph);
  ~CFilterEnumerator() override;

  // Replaces the copy with the graph's current list; false when out of memory.
  bool TakeSnapshot();
  void DropSnapshot();

  const CComPtr<CFilterGraph> m_graph;
  CLock m_lock;
  std::vector<CComPtr<IBaseFilter>> m_filters;
  ULONG m_version = 0;
  size_t m_position = 0;
};
