// CEnumPins: the IEnumPins enumerator of a CBaseFilter's pins.
//
//   CComPtr<IEnumPins> pins;
//   filter->EnumPins(pins.Receive());
//   CComPtr<IPin> pin;
//   while (pins->Next(1, pin.Receive(), nullptr) == S_OK) Use(pin.Get());
//
// The enumerator remembers the filter's pin version when it was made (or last Reset).
// When the version has changed, Skip and Clone fail with VFW_E_ENUM_OUT_OF_SYNC while
// Next starts over by itself and skips every pin it has already handed out (the cache);
// only Reset forgets those.
//
// Ownership: holds one reference on the filter; the cache holds no references (the pins
// live as long as the filter). Starts with a reference count of 1 and deletes itself when
// it returns to 0. Not counted among the module's live objects.
// Threading: no lock of its own; the filter's GetPin and GetPinCount take the state lock.
#pragma once

#include <atomic>
#include <vector>

#include "com/com_ptr.h"
#include "platform/dshow_types.h"

class CBaseFilter;

class CEnumPins final : public IEnumPins {
 public:
  // A new enumerator at the start, or (pEnumPins not null) a copy of its position,
  // version and cache.
  CEnumPins(CBaseFilter* pFilter, const CEnumPins* pEnumPins);
  ~CEnumPins();
  CEnumPins(const CEnumPins&) = delete;
  CEnumPins& operator=(const CEnumPins&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched) override;
  STDMETHODIMP Skip(ULONG cPins) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumPins** ppEnum) override;

 private:
  bool AreWeOutOfSync() const;
  void Refresh();

  int m_Position = 0;
  int m_PinCount = 0;
  const CComPtr<CBaseFilter> m_pFilter;
  LONG m_Version = 0;
  std::atomic<LONG> m_cRef{1};
  std::vector<IPin*> m_PinCache;
};
