// CMonikerEnumerator: IEnumMoniker over a fixed list of monikers.
//
//   std::vector<CComPtr<IMoniker>> monikers = ...;         // references the enumerator takes over
//   CComPtr<IEnumMoniker> enumerator;
//   CMonikerEnumerator::Create(std::move(monikers), enumerator.Receive());
//
// It holds a reference on every moniker in its list. Next answers S_OK when it handed out
// as many monikers as asked (each with a reference for the caller), else S_FALSE;
// pceltFetched may be null only when one moniker is asked for. Skip answers S_FALSE when
// it reached the end first. A clone shares nothing but the monikers and starts at the
// same position.
//
// Ownership: reference counted. Threading: any thread; calls on one enumerator are
// serialised by its lock.
#pragma once

#include <mutex>
#include <vector>

#include "platform/annotated_lock.h"
#include "com/com_ptr.h"
#include "platform/dshow_types.h"
#include "runtime/runtime_object.h"

class CMonikerEnumerator final : public IEnumMoniker, private CRuntimeObject {
 public:
  // Takes over the references on monikers.
  static HRESULT Create(std::vector<CComPtr<IMoniker>> monikers, IEnumMoniker** ppEnum);

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return AddRefObject(); }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseObject(); }

  STDMETHODIMP Next(ULONG celt, IMoniker** rgelt, ULONG* pceltFetched) override;
  STDMETHODIMP Skip(ULONG celt) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumMoniker** ppenum) override;

 private:
  friend class CRuntimeObject;
  CMonikerEnumerator(std::vector<CComPtr<IMoniker>> monikers, size_t position)
      : m_monikers(std::move(monikers)), m_position(position) {}
  ~CMonikerEnumerator() override = default;

  CLock m_lock;
  const std::vector<CComPtr<IMoniker>> m_monikers;
  size_t m_position = 0;
};
