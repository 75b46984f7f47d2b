// CMfActivate: the object amberline-mf.dll's class factory hands out for the camera's
// class. The frame server (and any Media Foundation host) gets an IMFActivate: it may put
// attributes into it (the device's symbolic link, settings of the pipeline and the
// application), then calls ActivateObject for the media source.
//
//   CComPtr<IMFActivate> activate;   // CoCreateInstance(clsid, …, IID_IMFActivate, …)
//   activate->SetString(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK, link);
//   CComPtr<IMFMediaSource> source;
//   activate->ActivateObject(IID_IMFMediaSource, source.ReceiveVoid());
//
// Every IMFAttributes method goes to a store of its own (MFCreateAttributes). The first
// ActivateObject creates the media source (CMfMediaSource) and copies every attribute the
// activate holds at that moment into the source's attribute store; later calls hand out
// the same source. ShutdownObject and DetachObject are not implemented (E_NOTIMPL), as a
// frame-server source's activate must answer: the source's own Shutdown ends it.
//
// Ownership: a framework object (counted among the module's live objects, so
// DllCanUnloadNow holds the module while it lives); it keeps its store and, once made,
// one reference to the source. The host has started Media Foundation (MFStartup) before
// it activates. Threading: any thread; the lock serialises activation, the store is
// thread-safe itself. Failure: a store that cannot be made fails the creation
// (E_OUTOFMEMORY or the store's result); a source that cannot be made fails ActivateObject
// with its result, and a later call tries again.
#pragma once

#include <mfidl.h>
#include <mfobjects.h>

#include "com/com_ptr.h"
#include "com/unknown.h"
#include "platform/annotated_lock.h"

class CMfActivate final : public IMFActivate, public CUnknown {
 public:
  // The class factory's creation function.
  static CUnknown* WINAPI CreateInstance(IUnknown* pUnkOuter, HRESULT* phr);

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IMFAttributes, all forwarded to the store.
  STDMETHODIMP GetItem(REFGUID key, PROPVARIANT* value) override;
  STDMETHODIMP GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) override;
  STDMETHODIMP CompareItem(REFGUID key, REFPROPVARIANT value, BOOL* result) override;
  STDMETHODIMP Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE type, BOOL* result) override;
  STDMETHODIMP GetUINT32(REFGUID key, UINT32* value) override;
  STDMETHODIMP GetUINT64(REFGUID key, UINT64* value) override;
  STDMETHODIMP GetDouble(REFGUID key, double* value) override;
  STDMETHODIMP GetGUID(REFGUID key, GUID* value) override;
  STDMETHODIMP GetStringLength(REFGUID key, UINT32* length) override;
  STDMETHODIMP GetString(REFGUID key, LPWSTR value, UINT32 size, UINT32* length) override;
  STDMETHODIMP GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) override;
  STDMETHODIMP GetBlobSize(REFGUID key, UINT32* size) override;
  STDMETHODIMP GetBlob(REFGUID key, UINT8* buffer, UINT32 bufferSize, UINT32* blobSize) override;
  STDMETHODIMP GetAllocatedBlob(REFGUID key, UINT8** buffer, UINT32* size) override;
  STDMETHODIMP GetUnknown(REFGUID key, REFIID riid, void** ppv) override;
  STDMETHODIMP SetItem(REFGUID key, REFPROPVARIANT value) override;
  STDMETHODIMP DeleteItem(REFGUID key) override;
  STDMETHODIMP DeleteAllItems() override;
  STDMETHODIMP SetUINT32(REFGUID key, UINT32 value) override;
  STDMETHODIMP SetUINT64(REFGUID key, UINT64 value) override;
  STDMETHODIMP SetDouble(REFGUID key, double value) override;
  STDMETHODIMP SetGUID(REFGUID key, REFGUID value) override;
  STDMETHODIMP SetString(REFGUID key, LPCWSTR value) override;
  STDMETHODIMP SetBlob(REFGUID key, const UINT8* buffer, UINT32 size) override;
  STDMETHODIMP SetUnknown(REFGUID key, IUnknown* unknown) override;
  STDMETHODIMP LockStore() override;
  STDMETHODIMP UnlockStore() override;
  STDMETHODIMP GetCount(UINT32* count) override;
  STDMETHODIMP GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) override;
  STDMETHODIMP CopyAllItems(IMFAttributes* destination) override;

  // IMFActivate
  STDMETHODIMP ActivateObject(REFIID riid, void** ppv) override;
  STDMETHODIMP ShutdownObject() override;
  STDMETHODIMP DetachObject() override;

 private:
  CMfActivate(IUnknown* pUnkOuter, CComPtr<IMFAttributes> store);
  // Copies every attribute of the activate's store into the source's own store, keeping what
  // the source already holds under other keys.
  HRESULT CopyAttributesTo(IMFMediaSource* source);

  const CComPtr<IMFAttributes> m_store;
  CLock m_lock;
  CComPtr<IMFMediaSource> m_source GUARDED_BY(m_lock);
};
