// CSource: the filter container of a source filter. It owns the filter's state lock and
// the array of its output streams (CSourceStream), which register themselves with AddPin
// when constructed and leave with RemovePin when destroyed.
//
// A stream's id (QueryId) is its 1-based position written in decimal, and FindPin reads
// an id back the same way, so FindPin(L"1") is the first stream.
//
// Ownership: the streams belong to the container and die with it, last one first. A
// container released while not stopped stops first; a derived filter whose workers call
// its own virtual functions stops in its own destructor, while it is still whole. The
// state lock outlives them (a member declared before nothing that uses it after).
// Threading: GetPinCount, GetPin and AddPin take the state lock; RemovePin and
// FindPinNumber do not (they run while the container is built or torn down).
// Failure: AddPin returns E_OUTOFMEMORY (nothing changed) when the array cannot grow.
#pragma once

#include <mutex>

#include "framework/base_filter.h"
#include "platform/annotated_lock.h"

class CSourceStream;

class CSource : public CBaseFilter {
 public:
  CSource(const WCHAR* pName, IUnknown* pUnk, CLSID clsid);
  // phr is left as it is.
  CSource(const WCHAR* pName, IUnknown* pUnk, CLSID clsid, HRESULT* phr);
  ~CSource() override;

  int GetPinCount() override;
  CBasePin* GetPin(int n) override;
  // Reads the id as a decimal number (leading white space and a sign allowed, reading
  // stops at the first non-digit, nothing readable is 0) and returns that stream.
  STDMETHODIMP FindPin(LPCWSTR Id, IPin** ppPin) override;

  HRESULT AddPin(CSourceStream* pStream);
  // S_FALSE when the stream is not in the array.
  HRESULT RemovePin(CSourceStream* pStream);
  // The index of the stream whose IPin is iPin, or -1.
  int FindPinNumber(IPin* iPin);

  CRecursiveLock* pStateLock() { return &m_cStateLock; }

 protected:
  int m_iPins = 0;
  CSourceStream** m_paStreams = nullptr;
  CRecursiveLock m_cStateLock;
};
