#include "module/server_registration.h"

#include "com/com_ptr.h"
#include "identity/camera_identity.h"
#include "module/factory_templates.h"
#include "platform/guid.h"
#include "platform/paths.h"
#include "platform/reg_key.h"
#include "platform/system_error.h"

namespace {

constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x80070002u);

HRESULT TreatMissingAsDone(HRESULT hr) { return hr == kFileNotFound ? S_OK : hr; }

std::wstring ClassKeyName(REFCLSID clsid) { return L"CLSID\\" + platform::GuidToRegistryString(clsid); }

}  // namespace

HRESULT WriteServerKeys(REFCLSID clsid, const WCHAR* name, const std::wstring& path, const WCHAR* threadingModel,
                        const WCHAR* serverKey) {
  return WriteServerKeys(HKEY_CLASSES_ROOT, ClassKeyName(clsid), name, path, threadingModel, serverKey);
}

HRESULT RegisterTemplateSetup(IFilterMapper2* pMapper2, IFilterMapper* pMapper, const CFactoryTemplate& entry,
                              bool bRegister) {
  const AMOVIESETUP_FILTER* setup = entry.m_pAMovieSetup_Filter;
  if (setup == nullptr || setup->clsID == nullptr) return S_FALSE;
  const CLSID clsid = *setup->clsID;
  if (pMapper2 != nullptr) {
    HRESULT hr = pMapper2->UnregisterFilter(nullptr, nullptr, clsid);
    if (!bRegister) return TreatMissingAsDone(hr);
    REGFILTER2 record{};
    record.dwVersion = 1;
    record.dwMerit = setup->dwMerit;
    record.cPins = setup->nPins;
    record.rgPins = setup->lpPin;
    hr = pMapper2->RegisterFilter(clsid, setup->strName, nullptr, nullptr, nullptr, &record);
    return TreatMissingAsDone(hr);
  }
  if (pMapper == nullptr) return E_POINTER;
  HRESULT hr = pMapper->UnregisterFilter(clsid);
  if (bRegister) {
    hr = pMapper->RegisterFilter(clsid, setup->strName, setup->dwMerit);
    for (UINT pin = 0; SUCCEEDED(hr) && pin < setup->nPins; ++pin) {
      const AMOVIESETUP_PIN& p = setup->lpPin[pin];
      const CLSID connectsTo = p.clsConnectsToFilter != nullptr ? *p.clsConnectsToFilter : GUID_NULL;
      hr = pMapper->RegisterPin(clsid, p.strName, p.bRendered, p.bOutput, p.bZero, p.bMany, connectsTo,
                                p.strConnectsToPin);
      for (UINT type = 0; SUCCEEDED(hr) && type < p.nMediaTypes; ++type) {
        const REGPINTYPES& t = p.lpMediaType[type];
        hr = pMapper->RegisterPinType(clsid, p.strName, t.clsMajorType != nullptr ? *t.clsMajorType : GUID_NULL,
                                      t.clsMinorType != nullptr ? *t.clsMinorType : GUID_NULL);
      }
    }
  }
  return TreatMissingAsDone(hr);
}

HRESULT RegisterModuleServer(bool bRegister) {
  const std::wstring path = platform::GetModulePath(g_hModule);
  if (path.empty()) {
    const DWORD error = platform::GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
  }

  HRESULT hr = S_OK;
  if (bRegister) {
    for (int i = 0; i < g_cTemplates && SUCCEEDED(hr); ++i) {
      const CFactoryTemplate& entry = g_Templates[i];
      if (entry.m_ClsID == nullptr) continue;
      hr = WriteServerKeys(*entry.m_ClsID, entry.m_Name, path, L"Both", L"InprocServer32");
    }
    if (FAILED(hr)) return hr;
  }

  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  {
    // Both are released before the libraries are freed and the runtime is left.
    CComPtr<IFilterMapper2> mapper2;
    CComPtr<IFilterMapper> mapper;
    if (FAILED(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                mapper2.ReceiveVoid()))) {
      CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper, mapper.ReceiveVoid());
    }
    for (int i = 0; (mapper2 || mapper) && i < g_cTemplates && SUCCEEDED(hr); ++i) {
      const HRESULT setup = RegisterTemplateSetup(mapper2.Get(), mapper.Get(), g_Templates[i], bRegister);
      if (FAILED(setup)) hr = setup;
    }
  }
  // The mapper's libraries (and any other component loaded for this step) need not stay
  // in an installer's process.
  CoFreeUnusedLibraries();
  if (SUCCEEDED(init)) CoUninitialize();

  if (!bRegister && SUCCEEDED(hr)) {
    for (int i = 0; i < g_cTemplates; ++i) {
      if (g_Templates[i].m_ClsID == nullptr) continue;
      DeleteKeyTree(HKEY_CLASSES_ROOT, ClassKeyName(*g_Templates[i].m_ClsID).c_str());
    }
  }
  return hr;
}
