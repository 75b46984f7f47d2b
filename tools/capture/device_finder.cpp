#include "device_finder.h"

#include "com/com_ptr.h"
#include "platform/guid.h"

template <typename Fn>
HRESULT CDeviceFinder::ForEachDevice(Fn fn) {
  CComPtr<IEnumMoniker> monikers;
  {
    CComPtr<ICreateDevEnum> devEnum;
    HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                  devEnum.ReceiveVoid());
    if (FAILED(hr)) return hr;
    hr = devEnum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.Receive(), 0);
    if (FAILED(hr)) return hr;
    // S_FALSE: the category is empty (or missing) and no enumerator was made.
    if (hr == S_FALSE || !monikers) return S_OK;
  }
  HRESULT hr = S_OK;
  for (;;) {
    CComPtr<IMoniker> moniker;
    ULONG fetched = 0;
    hr = monikers->Next(1, moniker.Receive(), &fetched);
    if (hr != S_OK || fetched != 1 || !moniker) break;
    Device device;
    ReadProperties(moniker.Get(), &device);
    if (!fn(moniker.Get(), device)) break;
  }
  return FAILED(hr) ? hr : S_OK;
}

void CDeviceFinder::ReadProperties(IMoniker* moniker, Device* device) {
  CComPtr<IPropertyBag> bag;
  if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.ReceiveVoid())) || !bag) return;
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
