#include "runtime/device_enumerator.h"

#include <string>
#include <vector>

#include "com/com_ptr.h"
#include "com/query_answer.h"
#include "platform/reg_key.h"
#include "runtime/device_moniker.h"
#include "runtime/filter_data.h"
#include "runtime/filter_mapper.h"
#include "runtime/moniker_enumerator.h"

namespace {

bool MeritAboveDoNotUse(const CRegKey& instance) {
  DWORD type = 0;
  std::vector<BYTE> bytes;
  if (instance.QueryValue(L"FilterData", &type, &bytes) != ERROR_SUCCESS || type != REG_BINARY) return false;
  CFilterData record;
  return record.Parse(bytes.data(), bytes.size()) && record.Merit() > MERIT_DO_NOT_USE;
}

}  // namespace

HRESULT CSystemDeviceEnum::CreateInstance(REFIID riid, void** ppv) {
  return CreateAndQuery<CSystemDeviceEnum>(riid, ppv);
}

STDMETHODIMP CSystemDeviceEnum::QueryInterface(REFIID riid, void** ppv) {
  return AnswerQuery(static_cast<ICreateDevEnum*>(this), riid, ppv, {IID_IUnknown, IID_ICreateDevEnum});
}

STDMETHODIMP CSystemDeviceEnum::CreateClassEnumerator(REFCLSID clsidDeviceClass, IEnumMoniker** ppEnumMoniker,
                                                      DWORD dwFlags) {
  if (ppEnumMoniker == nullptr) return E_POINTER;
  *ppEnumMoniker = nullptr;
  CRegKey instances;
  if (instances.Open(HKEY_CLASSES_ROOT, runtime::CategoryInstanceKey(clsidDeviceClass).c_str(), KEY_READ) !=
      ERROR_SUCCESS)
    return S_FALSE;

  std::vector<CComPtr<IMoniker>> monikers;
  HRESULT hr = S_OK;
  wchar_t name[256];
  for (DWORD index = 0; SUCCEEDED(hr); ++index) {
    DWORD nameChars = 256;
    const LONG code = instances.EnumKey(index, name, &nameChars);
    // A name too long for a key name cannot have been written by a registration.
    if (code == ERROR_MORE_DATA) continue;
    if (code != ERROR_SUCCESS) break;
    const std::wstring instance(name, nameChars);
    if ((dwFlags & CDEF_MERIT_ABOVE_DO_NOT_USE) != 0) {
      CRegKey entry;
      if (entry.Open(instances, instance.c_str(), KEY_QUERY_VALUE) != ERROR_SUCCESS || !MeritAboveDoNotUse(entry))
        continue;
    }
    CComPtr<IMoniker> moniker;
    hr = CDeviceMoniker::Create(clsidDeviceClass, instance, moniker.Receive());
    if (SUCCEEDED(hr)) {
      try {
        monikers.push_back(std::move(moniker));
      } catch (...) {
        hr = E_OUTOFMEMORY;
      }
    }
  }
  if (FAILED(hr) || monikers.empty()) return FAILED(hr) ? hr : S_FALSE;
  return CMonikerEnumerator::Create(std::move(monikers), ppEnumMoniker);
}
