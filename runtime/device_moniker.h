// CDeviceMoniker: the moniker of one entry of a device category, the key
// HKEY_CLASSES_ROOT\CLSID\{category}\Instance\{instance}.
//
// BindToStorage gives the entry's read-only property bag (IID_IPropertyBag or
// IID_IUnknown; others E_NOINTERFACE). BindToObject reads the entry's "CLSID" value,
// creates that class through class activation, hands the new object the entry's
// property bag through IPersistPropertyBag::Load when it answers that interface (a
// failing Load fails the bind), and queries riidResult. Its failures: the registry's code
// as HRESULT_FROM_WIN32 when the key or the value is missing, CO_E_CLASSSTRING when the
// value is not a braced class identifier, else what class activation or the object
// answers. GetDisplayName gives "@device:sw:{category}\instance" in task memory.
// IsEqual compares category and instance, IsSystemMoniker answers S_FALSE with
// MKSYS_NONE, GetClassID the device moniker class, IsDirty S_FALSE; every other method
// answers E_NOTIMPL with its output pointers null. The bind context and the moniker to
// the left are ignored.
//
// The registry is read at each call, so a moniker outlives changes of its entry and
// reports them as failures. Ownership: reference counted. Threading: any thread; it
// holds only constant state.
#pragma once

#include <string>

#include "platform/dshow_types.h"
#include "runtime/runtime_object.h"

class CDeviceMoniker final : public IMoniker, private CRuntimeObject {
 public:
  static HRESULT Create(REFCLSID category, const std::wstring& instance, IMoniker** ppMoniker);

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return AddRefObject(); }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseObject(); }

  STDMETHODIMP GetClassID(CLSID* pClassID) override;
  STDMETHODIMP IsDirty() override;
  STDMETHODIMP Load(IStream* pStm) override;
  STDMETHODIMP Save(IStream* pStm, BOOL fClearDirty) override;
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER* pcbSize) override;

  STDMETHODIMP BindToObject(IBindCtx* pbc, IMoniker* pmkToLeft, REFIID riidResult, void** ppvResult) override;
  STDMETHODIMP BindToStorage(IBindCtx* pbc, IMoniker* pmkToLeft, REFIID riid, void** ppvObj) override;
  STDMETHODIMP Reduce(IBindCtx* pbc, DWORD dwReduceHowFar, IMoniker** ppmkToLeft, IMoniker** ppmkReduced) override;
  STDMETHODIMP ComposeWith(IMoniker* pmkRight, BOOL fOnlyIfNotGeneric, IMoniker** ppmkComposite) override;
  STDMETHODIMP Enum(BOOL fForward, IEnumMoniker** ppenumMoniker) override;
  STDMETHODIMP IsEqual(IMoniker* pmkOtherMoniker) override;
  STDMETHODIMP Hash(DWORD* pdwHash) override;
  STDMETHODIMP IsRunning(IBindCtx* pbc, IMoniker* pmkToLeft, IMoniker* pmkNewlyRunning) override;
  STDMETHODIMP GetTimeOfLastChange(IBindCtx* pbc, IMoniker* pmkToLeft, FILETIME* pFileTime) override;
  STDMETHODIMP Inverse(IMoniker** ppmk) override;
  STDMETHODIMP CommonPrefixWith(IMoniker* pmkOther, IMoniker** ppmkPrefix) override;
  STDMETHODIMP RelativePathTo(IMoniker* pmkOther, IMoniker** ppmkRelPath) override;
  STDMETHODIMP GetDisplayName(IBindCtx* pbc, IMoniker* pmkToLeft, LPOLESTR* ppszDisplayName) override;
  STDMETHODIMP ParseDisplayName(IBindCtx* pbc, IMoniker* pmkToLeft, LPOLESTR pszDisplayName, ULONG* pchEaten,
                                IMoniker** ppmkOut) override;
  STDMETHODIMP IsSystemMoniker(DWORD* pdwMksys) override;

 private:
  friend class CRuntimeObject;
  CDeviceMoniker(REFCLSID category, std::wstring instance) : m_category(category), m_instance(std::move(instance)) {}
  ~CDeviceMoniker() override = default;

  std::wstring DisplayName() const;

  const CLSID m_category;
  const std::wstring m_instance;
};
