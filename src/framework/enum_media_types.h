// CEnumMediaTypes: the IEnumMediaTypes enumerator of a pin's offered types
// (CBasePin::GetMediaType at positions 0, 1, …).
//
//   CComPtr<IEnumMediaTypes> types;
//   pin->EnumMediaTypes(types.Receive());
//   CScopedMediaType type;
//   while (types->Next(1, type.Receive(), nullptr) == S_OK) Consider(type.Get());
//
// The enumerator remembers the pin's media type version; once it has changed, Next,
// Skip and Clone fail with VFW_E_ENUM_OUT_OF_SYNC until Reset. Each type handed out is
// a record in task memory that belongs to the caller (DeleteMediaType frees it).
//
// Ownership: holds one reference on the pin (and so on its filter). Starts with a
// reference count of 1, deletes itself when it returns to 0. Not counted among the
// module's live objects. Threading: no lock of its own; the pin's GetMediaType locks.
#pragma once

#include <atomic>

#include "com/com_ptr.h"
#include "platform/dshow_types.h"

class CBasePin;

class CEnumMediaTypes final : public IEnumMediaTypes {
 public:
  // A new enumerator at the start, or (pEnumMediaTypes not null) at its position and
  // version.
  CEnumMediaTypes(CBasePin* pPin, const CEnumMediaTypes* pEnumMediaTypes);
  ~CEnumMediaTypes();
  CEnumMediaTypes(const CEnumMediaTypes&) = delete;
  CEnumMediaTypes& operator=(const CEnumMediaTypes&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP Next(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes, ULONG* pcFetched) override;
  STDMETHODIMP Skip(ULONG cMediaTypes) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumMediaTypes** ppEnum) override;

 private:
  bool AreWeOutOfSync() const;

  ULONG m_Position = 0;
  const CComPtr<CBasePin> m_pPin;
  LONG m_Version = 0;
  std::atomic<LONG> m_cRef{1};
};
