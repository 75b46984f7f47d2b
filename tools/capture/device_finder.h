// CDeviceFinder: the video input devices of this machine, as every video application
// finds them — the system device enumerator's class enumerator for
// CLSID_VideoInputDeviceCategory, one moniker per device, its property bag giving
// "FriendlyName" and "CLSID".
//
// List answers S_OK with the devices (possibly none: the enumerator answers S_FALSE for
// an empty category) or the first failing step's result. Find binds the first device
// whose friendly name equals the given one (exactly, letter case included) to an
// IBaseFilter; a name that no device has gives VFW_E_NOT_FOUND. A device whose property
// bag cannot be read is listed with an empty name and GUID_NULL rather than hiding the
// others.
// Ownership: stateless; Find hands out the filter with one reference (the caller's).
// Threading: any thread that initialised the component runtime.
#pragma once

#include <string>
#include <vector>

#include "platform/dshow_types.h"

class CDeviceFinder {
 public:
  struct Device {
    std::wstring friendlyName;
    CLSID clsid = GUID_NULL;
  };

  static HRESULT List(std::vector<Device>* devices);
  static HRESULT Find(const std::wstring& friendlyName, IBaseFilter** ppFilter);

 private:
  // Enumerates the category; fn(moniker, device) returns false to stop. Answers the
  // first failure of the enumeration itself, else S_OK.
  template <typename Fn>
  static HRESULT ForEachDevice(Fn fn);
  static void ReadProperties(IMoniker* moniker, Device* device);
};
