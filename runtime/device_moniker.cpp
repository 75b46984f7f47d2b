#include "runtime/device_moniker.h"

#include <cwchar>

#include "com/com_ptr.h"
#include "com/query_answer.h"
#include "platform/guid.h"
#include "platform/reg_key.h"
#include "runtime/device_property_bag.h"

namespace {

// The system's device moniker class.
const CLSID kDeviceMonikerClass = {0x4315D437, 0x5B8C, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};

template <typename T>
HRESULT NullOut(T** out) {
  if (out != nullptr) *out = nullptr;
  return E_NOTIMPL;
}

}  // namespace

HRESULT CDeviceMoniker::Create(REFCLSID category, const std::wstring& instance, IMoniker** ppMoniker) {
  if (ppMoniker == nullptr) return E_POINTER;
  *ppMoniker = nullptr;
  auto* moniker = new (std::nothrow) CDeviceMoniker(category, instance);
  if (moniker == nullptr) return E_OUTOFMEMORY;
  *ppMoniker = moniker;  // The caller's reference: the new object's first.
  return S_OK;
}

STDMETHODIMP CDeviceMoniker::QueryInterface(REFIID riid, void** ppv) {
  return AnswerQuery(static_cast<IMoniker*>(this), riid, ppv, {IID_IUnknown, IID_IPersist, IID_IPersistStream, IID_IMoniker});
}

STDMETHODIMP CDeviceMoniker::GetClassID(CLSID* pClassID) {
  if (pClassID == nullptr) return E_POINTER;
  *pClassID = kDeviceMonikerClass;
  return S_OK;
}

STDMETHODIMP CDeviceMoniker::IsDirty() { return S_FALSE; }
STDMETHODIMP CDeviceMoniker::Load(IStream*) { return E_NOTIMPL; }
STDMETHODIMP CDeviceMoniker::Save(IStream*, BOOL) { return E_NOTIMPL; }
STDMETHODIMP CDeviceMoniker::GetSizeMax(ULARGE_INTEGER*) { return E_NOTIMPL; }

STDMETHODIMP CDeviceMoniker::BindToObject(IBindCtx*, IMoniker*, REFIID riidResult, void** ppvResult) {
  if (ppvResult == nullptr) return E_POINTER;
  *ppvResult = nullptr;
  CComPtr<IPropertyBag> bag;
  HRESULT hr = CDevicePropertyBag::Create(m_category, m_instance, IID_IPropertyBag, bag.ReceiveVoid());
  if (FAILED(hr)) return hr;

  VARIANT clsidText;
  VariantInit(&clsidText);
  clsidText.vt = VT_BSTR;
  hr = bag->Read(L"CLSID", &clsidText, nullptr);
  CLSID clsid{};
  if (SUCCEEDED(hr) && !platform::GuidFromRegistryString(clsidText.bstrVal != nullptr ? clsidText.bstrVal : L"", &clsid))
    hr = CO_E_CLASSSTRING;
  VariantClear(&clsidText);

  CComPtr<IUnknown> object;
  if (SUCCEEDED(hr)) hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.ReceiveVoid());
  if (SUCCEEDED(hr)) {
    if (const auto persist = object.As<IPersistPropertyBag>(IID_IPersistPropertyBag)) hr = persist->Load(bag.Get(), nullptr);
  }
  if (SUCCEEDED(hr)) hr = object->QueryInterface(riidResult, ppvResult);
  if (FAILED(hr)) *ppvResult = nullptr;
  return hr;
}

STDMETHODIMP CDeviceMoniker::BindToStorage(IBindCtx*, IMoniker*, REFIID riid, void** ppvObj) {
  return CDevicePropertyBag::Create(m_category, m_instance, riid, ppvObj);
}

STDMETHODIMP CDeviceMoniker::Reduce(IBindCtx*, DWORD, IMoniker** ppmkToLeft, IMoniker** ppmkReduced) {
  if (ppmkToLeft != nullptr) *ppmkToLeft = nullptr;
  return NullOut(ppmkReduced);
}
STDMETHODIMP CDeviceMoniker::ComposeWith(IMoniker*, BOOL, IMoniker** ppmkComposite) { return NullOut(ppmkComposite); }
STDMETHODIMP CDeviceMoniker::Enum(BOOL, IEnumMoniker** ppenumMoniker) { return NullOut(ppenumMoniker); }

STDMETHODIMP CDeviceMoniker::IsEqual(IMoniker* pmkOtherMoniker) {
  if (pmkOtherMoniker == nullptr) return E_INVALIDARG;
  if (pmkOtherMoniker == static_cast<IMoniker*>(this)) return S_OK;
  LPOLESTR other = nullptr;
  if (FAILED(pmkOtherMoniker->GetDisplayName(nullptr, nullptr, &other)) || other == nullptr) return S_FALSE;
  const bool same = DisplayName() == other;
  CoTaskMemFree(other);
  return same ? S_OK : S_FALSE;
}

STDMETHODIMP CDeviceMoniker::Hash(DWORD*) { return E_NOTIMPL; }
STDMETHODIMP CDeviceMoniker::IsRunning(IBindCtx*, IMoniker*, IMoniker*) { return E_NOTIMPL; }
STDMETHODIMP CDeviceMoniker::GetTimeOfLastChange(IBindCtx*, IMoniker*, FILETIME*) { return E_NOTIMPL; }
STDMETHODIMP CDeviceMoniker::Inverse(IMoniker** ppmk) { return NullOut(ppmk); }
STDMETHODIMP CDeviceMoniker::CommonPrefixWith(IMoniker*, IMoniker** ppmkPrefix) { return NullOut(ppmkPrefix); }
STDMETHODIMP CDeviceMoniker::RelativePathTo(IMoniker*, IMoniker** ppmkRelPath) { return NullOut(ppmkRelPath); }

std::wstring CDeviceMoniker::DisplayName() const {
  return L"@device:sw:" + platform::GuidToRegistryString(m_category) + L"\\" + m_instance;
}

STDMETHODIMP CDeviceMoniker::GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR* ppszDisplayName) {
  if (ppszDisplayName == nullptr) return E_POINTER;
  *ppszDisplayName = nullptr;
  const std::wstring name = DisplayName();
  auto* text = static_cast<LPOLESTR>(CoTaskMemAlloc((name.size() + 1) * sizeof(OLECHAR)));
  if (text == nullptr) return E_OUTOFMEMORY;
  std::wmemcpy(text, name.c_str(), name.size() + 1);
  *ppszDisplayName = text;
  return S_OK;
}

STDMETHODIMP CDeviceMoniker::ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG* pchEaten, IMoniker** ppmkOut) {
  if (pchEaten != nullptr) *pchEaten = 0;
  return NullOut(ppmkOut);
}

STDMETHODIMP CDeviceMoniker::IsSystemMoniker(DWORD* pdwMksys) {
  if (pdwMksys == nullptr) return E_POINTER;
  *pdwMksys = 0;  // MKSYS_NONE
  return S_FALSE;
}
