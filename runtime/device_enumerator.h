// CSystemDeviceEnum: the system device enumerator (class CLSID_SystemDeviceEnum,
// interface ICreateDevEnum).
//
// CreateClassEnumerator lists the entries of a category as they are in the registry at
// that moment: one CDeviceMoniker for every subkey of
// HKEY_CLASSES_ROOT\CLSID\{category}\Instance, in the registry's order. It answers S_OK
// with the enumerator, or S_FALSE with a null enumerator when the category has no
// entries (or no key at all). With CDEF_MERIT_ABOVE_DO_NOT_USE only entries whose
// "FilterData" reads back (CFilterData) with a merit above MERIT_DO_NOT_USE are listed:
// an entry whose merit cannot be read is left out. Other flags change nothing. Entries
// are not checked further: a broken entry fails when its moniker is bound.
//
// Ownership: reference counted; created by class activation. Threading: any thread, no
// state.
#pragma once

#include "platform/dshow_types.h"
#include "runtime/runtime_object.h"

class CSystemDeviceEnum final : public ICreateDevEnum, private CRuntimeObject {
 public:
  static HRESULT CreateInstance(REFIID riid, void** ppv);

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return AddRefObject(); }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseObject(); }

  STDMETHODIMP CreateClassEnumerator(REFCLSID clsidDeviceClass, IEnumMoniker** ppEnumMoniker,
                                     DWORD dwFlags) override;

 private:
  friend class CRuntimeObject;
  CSystemDeviceEnum() = default;
  ~CSystemDeviceEnum() override = default;
};
