// CRuntimeObject: the reference count of every object the runtime hands out (filter
// graph, clock, enumerators).
//
// A derived class answers IUnknown by forwarding AddRef and Release to AddRefObject and
// ReleaseObject, and writes only its own QueryInterface. The count starts at 1, held by
// the creator, which queries the interface the caller asked for and then drops its own
// reference (CreateAndQuery does both). It changes atomically on any thread.
//
// When ReleaseObject takes the count to 0 the object deletes itself exactly once: the
// count is parked at 1 for the destructor, so a reference that the destructor or a peer
// called from it takes and drops again (a filter querying the graph while the graph
// stops it) never starts a second destruction. Objects are created with new and
// destroyed only through their last release.
#pragma once

#include <atomic>
#include <new>

#include "platform/dshow_types.h"

class CRuntimeObject {
 public:
  CRuntimeObject(const CRuntimeObject&) = delete;
  CRuntimeObject& operator=(const CRuntimeObject&) = delete;

 protected:
  CRuntimeObject() = default;
  virtual ~CRuntimeObject() = default;

  ULONG AddRefObject();
  ULONG ReleaseObject();

  // Creates T (new, no exceptions), queries riid into *ppv and drops the creator's
  // reference: on a failed query the object is gone and *ppv is null.
  template <typename T, typename... Args>
  static HRESULT CreateAndQuery(REFIID riid, void** ppv, Args&&... args) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    T* object = new (std::nothrow) T(static_cast<Args&&>(args)...);
    if (object == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
  }

 private:
  std::atomic<ULONG> m_cRef{1};
};
