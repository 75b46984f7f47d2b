#include "mfsource/mf_activate.h"

#include <new>
#include <utility>

#include "mfsource/mf_media_source.h"

CUnknown* WINAPI CMfActivate::CreateInstance(IUnknown* pUnkOuter, HRESULT* phr) {
  CComPtr<IMFAttributes> store;
  HRESULT hr = MFCreateAttributes(store.Receive(), 4);
  if (SUCCEEDED(hr) && !store) hr = E_OUTOFMEMORY;
  if (FAILED(hr)) {
    if (phr != nullptr) *phr = hr;
    return nullptr;
  }
  CUnknown* made = new (std::nothrow) CMfActivate(pUnkOuter, std::move(store));
  if (made == nullptr && phr != nullptr) *phr = E_OUTOFMEMORY;
  return made;
}

CMfActivate::CMfActivate(IUnknown* pUnkOuter, CComPtr<IMFAttributes> store)
    : CUnknown(L"media source activate", pUnkOuter), m_store(std::move(store)) {}

STDMETHODIMP CMfActivate::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (IsEqualIID(riid, IID_IMFActivate) || IsEqualIID(riid, IID_IMFAttributes))
    return GetInterface(static_cast<IMFActivate*>(this), ppv);
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

// ---- IMFAttributes: the activate's own store ----

STDMETHODIMP CMfActivate::GetItem(REFGUID key, PROPVARIANT* value) { return m_store->GetItem(key, value); }
STDMETHODIMP CMfActivate::GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) { return m_store->GetItemType(key, type); }
STDMETHODIMP CMfActivate::CompareItem(REFGUID key, REFPROPVARIANT value, BOOL* result) { return m_store->CompareItem(key, value, result); }
STDMETHODIMP CMfActivate::Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE type, BOOL* result) { return m_store->Compare(theirs, type, result); }
STDMETHODIMP CMfActivate::GetUINT32(REFGUID key, UINT32* value) { return m_store->GetUINT32(key, value); }
STDMETHODIMP CMfActivate::GetUINT64(REFGUID key, UINT64* value) { return m_store->GetUINT64(key, value); }
STDMETHODIMP CMfActivate::GetDouble(REFGUID key, double* value) { return m_store->GetDouble(key, value); }
STDMETHODIMP CMfActivate::GetGUID(REFGUID key, GUID* value) { return m_store->GetGUID(key, value); }
STDMETHODIMP CMfActivate::GetStringLength(REFGUID key, UINT32* length) { return m_store->GetStringLength(key, length); }
STDMETHODIMP CMfActivate::GetString(REFGUID key, LPWSTR value, UINT32 size, UINT32* length) { return m_store->GetString(key, value, size, length); }
STDMETHODIMP CMfActivate::GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) { return m_store->GetAllocatedString(key, value, length); }
STDMETHODIMP CMfActivate::GetBlobSize(REFGUID key, UINT32* size) { return m_store->GetBlobSize(key, size); }
STDMETHODIMP CMfActivate::GetBlob(REFGUID key, UINT8* buffer, UINT32 bufferSize, UINT32* blobSize) { return m_store->GetBlob(key, buffer, bufferSize, blobSize); }
STDMETHODIMP CMfActivate::GetAllocatedBlob(REFGUID key, UINT8** buffer, UINT32* size) { return m_store->GetAllocatedBlob(key, buffer, size); }
STDMETHODIMP CMfActivate::GetUnknown(REFGUID key, REFIID riid, void** ppv) { return m_store->GetUnknown(key, riid, ppv); }
STDMETHODIMP CMfActivate::SetItem(REFGUID key, REFPROPVARIANT value) { return m_store->SetItem(key, value); }
STDMETHODIMP CMfActivate::DeleteItem(REFGUID key) { return m_store->DeleteItem(key); }
STDMETHODIMP CMfActivate::DeleteAllItems() { return m_store->DeleteAllItems(); }
STDMETHODIMP CMfActivate::SetUINT32(REFGUID key, UINT32 value) { return m_store->SetUINT32(key, value); }
STDMETHODIMP CMfActivate::SetUINT64(REFGUID key, UINT64 value) { return m_store->SetUINT64(key, value); }
STDMETHODIMP CMfActivate::SetDouble(REFGUID key, double value) { return m_store->SetDouble(key, value); }
STDMETHODIMP CMfActivate::SetGUID(REFGUID key, REFGUID value) { return m_store->SetGUID(key, value); }
STDMETHODIMP CMfActivate::SetString(REFGUID key, LPCWSTR value) { return m_store->SetString(key, value); }
STDMETHODIMP CMfActivate::SetBlob(REFGUID key, const UINT8* buffer, UINT32 size) { return m_store->SetBlob(key, buffer, size); }
STDMETHODIMP CMfActivate::SetUnknown(REFGUID key, IUnknown* unknown) { return m_store->SetUnknown(key, unknown); }
STDMETHODIMP CMfActivate::LockStore() { return m_store->LockStore(); }
STDMETHODIMP CMfActivate::UnlockStore() { return m_store->UnlockStore(); }
STDMETHODIMP CMfActivate::GetCount(UINT32* count) { return m_store->GetCount(count); }
STDMETHODIMP CMfActivate::GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) { return m_store->GetItemByIndex(index, key, value); }
STDMETHODIMP CMfActivate::CopyAllItems(IMFAttributes* destination) { return m_store->CopyAllItems(destination); }

// ---- IMFActivate ----

STDMETHODIMP CMfActivate::ActivateObject(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  CLockHolder<CLock> hold(m_lock);
  if (!m_source) {
    CMfMediaSource* made = nullptr;
    HRESULT hr = CMfMediaSource::Create(&made);
    if (FAILED(hr)) return hr;
    CComPtr<IMFMediaSource> source(static_cast<IMFMediaSourceEx*>(made), kAdoptRef);
    hr = CopyAttributesTo(source.Get());
    if (FAILED(hr)) {
      // Nobody else holds it: shut it down so that its channel entry and queue go now.
      source->Shutdown();
      return hr;
    }
    m_source = std::move(source);
  }
  return m_source->QueryInterface(riid, ppv);
}

HRESULT CMfActivate::CopyAttributesTo(IMFMediaSource* source) {
  const auto sourceEx = QueryAs<IMFMediaSourceEx>(source, IID_IMFMediaSourceEx);
  if (!sourceEx) return S_OK;  // a source without a store of its own has nothing to receive them
  CComPtr<IMFAttributes> target;
  HRESULT hr = sourceEx->GetSourceAttributes(target.Receive());
  if (FAILED(hr)) return hr;
  if (!target) return S_OK;
  // Read under the store's lock so that a writer on another thread cannot shift indexes.
  hr = m_store->LockStore();
  if (FAILED(hr)) return hr;
  UINT32 count = 0;
  hr = m_store->GetCount(&count);
  for (UINT32 i = 0; SUCCEEDED(hr) && i < count; ++i) {
    GUID key{};
    PROPVARIANT value;
    PropVariantInit(&value);
    hr = m_store->GetItemByIndex(i, &key, &value);
    if (SUCCEEDED(hr)) hr = target->SetItem(key, value);
    PropVariantClear(&value);
  }
  m_store->UnlockStore();
  return hr;
}

STDMETHODIMP CMfActivate::ShutdownObject() { return E_NOTIMPL; }

STDMETHODIMP CMfActivate::DetachObject() { return E_NOTIMPL; }
