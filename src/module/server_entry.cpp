#include "module/server_entry.h"

#include <new>

#include "diagnostics/log_file.h"
#include "com/com_ptr.h"
#include "com/object_count.h"
#include "identity/camera_identity.h"
#include "com/class_factory.h"
#include "module/factory_templates.h"
#include "module/server_registration.h"
#include "platform/com_ids.h"
#include "platform/dshow_types.h"

HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  return GetClassObjectFrom(g_Templates, g_cTemplates, rclsid, riid, ppv);
}

namespace {

// The camera as the video input category lists it: one RGB24 video output pin, offered
// as a capture pin and as a preview pin.
const REGPINTYPES kPinTypes = {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24};

// The self-registration failure for a class that cannot be registered (SELFREG_E_CLASS).
constexpr HRESULT kClassNotRegistrable = static_cast<HRESULT>(0x80040201u);

// A copy named by a custom-source entry whose class identifier does not parse runs under
// the built-in class identifier; registering or unregistering it would rewrite or remove
// the built-in camera's registration, so it does neither and says why.
bool RefusedForUnparsableClassId(const wchar_t* action) {
  const WCHAR* entry = UnparsableClsidEntry();
  if (entry == nullptr || entry[0] == L'\0') return false;
  g_Log.Write(0, L"Not %s: the custom source entry %s names this module with a CLSID value that is not a class identifier.\n",
              action, entry);
  return true;
}

HRESULT WithFilterMapper(HRESULT (*step)(IFilterMapper2*)) {
  CComPtr<IFilterMapper2> mapper;
  const HRESULT hr =
      CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2, mapper.ReceiveVoid());
  if (FAILED(hr)) return hr;
  if (!mapper) return E_NOINTERFACE;
  return step(mapper.Get());
}

}  // namespace

HRESULT RegisterServer() {
  if (RefusedForUnparsableClassId(L"registered") || RefusedForBadChannel()) return kClassNotRegistrable;
  HRESULT hr = RegisterModuleServer(true);
  if (FAILED(hr)) return hr;
  return WithFilterMapper([](IFilterMapper2* mapper) {
    const REGFILTERPINS2 pins[2] = {
        {REG_PINFLAG_B_OUTPUT, 1, 1, &kPinTypes, 0, nullptr, &PIN_CATEGORY_CAPTURE},
        {REG_PINFLAG_B_OUTPUT, 1, 1, &kPinTypes, 0, nullptr, &PIN_CATEGORY_PREVIEW},
    };
    REGFILTER2 record{};
    record.dwVersion = 2;
    record.dwMerit = MERIT_DO_NOT_USE;
    record.cPins2 = 2;
    record.rgPins2 = pins;
    return mapper->RegisterFilter(*g_pFilterClsid, g_pFilterName, nullptr, &CLSID_VideoInputDeviceCategory,
                                  g_pFilterName, &record);
  });
}

HRESULT UnregisterServer() {
  if (RefusedForUnparsableClassId(L"unregistered")) return kClassNotRegistrable;
  HRESULT hr = RegisterModuleServer(false);
  if (FAILED(hr)) return hr;
  return WithFilterMapper([](IFilterMapper2* mapper) {
    return mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, g_pFilterName, *g_pFilterClsid);
  });
}
