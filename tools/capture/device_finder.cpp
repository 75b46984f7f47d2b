#include "device_finder.h"

#include "platform/guid.h"

template <typename Fn>
HRESULT CDeviceFinder::ForEachDevice(Fn fn) {
  ICreateDevEnum* devEnum = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                reinterpret_cast<void**>(&devEnum));
  if (FAILED(hr)) return hr;
  IEnumMoniker* monikers = nullptr;
  hr = devEnum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &monikers, 0);
  devEnum->Release();
  if (FAILED(hr)) return hr;
  // S_FALSE: the category is empty (or missing) and no enumerator was made.
  if (hr == S_FALSE || monikers == nullptr) return S_OK;
  for (;;) {
    IMoniker* moniker = nullptr;
    ULONG fetched = 0;
    hr = monikers->Next(1, &moniker, &fetched);
    if (hr != S_OK || fetched != 1 || moniker == nullptr) break;
    Device device;
    ReadProperties(moniker, &device);
    const bool more = fn(moniker, device);
    moniker->Release();
    if (!more) break;
  }
  monikers->Release();
  return FAILED(hr) ? hr : S_OK;
}

void CDeviceFinder::ReadProperties(IMoniker* moniker, Device* device) {
  IPropertyBag* bag = nullptr;
  if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag))) ||
      bag == nullptr)
    return;
  VARIANT value;
  VariantInit(&value);
  if (SUCCEEDED(bag->Read(L"FriendlyName", &value, nullptr)) && value.vt == VT_BSTR && value.bstrVal != nullptr)
    device->friendlyName = value.bstrVal;
  VariantClear(&value);
  if (SUCCEEDED(bag->Read(L"CLSID", &value, nullptr)) && value.vt == VT_BSTR && value.bstrVal != nullptr) {
    CLSID clsid = GUID_NULL;
    if (platform::GuidFromRegistryString(value.bstrVal, &clsid)) device->clsid = clsid;
  }
  VariantClear(&value);
  bag->Release();
}

HRESULT CDeviceFinder::List(std::vector<Device>* devices) {
  devices->clear();
  return ForEachDevice([devices](IMoniker*, const Device& device) {
    devices->push_back(device);
    return true;
  });
}

HRESULT CDeviceFinder::Find(const std::wstring& friendlyName, IBaseFilter** ppFilter) {
  *ppFilter = nullptr;
  HRESULT bound = VFW_E_NOT_FOUND;
  const HRESULT hr = ForEachDevice([&](IMoniker* moniker, const Device& device) {
    if (device.friendlyName != friendlyName) return true;
    bound = moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(ppFilter));
    if (FAILED(bound)) *ppFilter = nullptr;
    return false;
  });
  if (FAILED(hr)) return hr;
  return bound;
}
