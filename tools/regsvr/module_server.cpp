#include "module_server.h"

#include <filesystem>

#include "com/com_ptr.h"
#include "platform/com_ids.h"
#include "platform/dshow_types.h"
#include "platform/wide_string.h"

namespace {

using RegisterFunction = HRESULT(STDAPICALLTYPE*)();
using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

}  // namespace

bool CModuleServer::Load(const std::string& module) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(module, error);
  m_path = error ? module : absolute.string();
  if (!m_library.Load(platform::Utf8ToWide(m_path))) return false;
  m_identity = LookUpCameraIdentity(platform::Utf8ToWide(m_path));
  return true;
}

std::string CModuleServer::LoadError() const { return platform::WideToUtf8(m_library.Error()); }

HRESULT CModuleServer::CallRegistration(const char* entry) const {
  const auto function = reinterpret_cast<RegisterFunction>(m_library.Symbol(entry));
  if (function == nullptr) return E_NOTIMPL;
  const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const HRESULT hr = function();
  if (SUCCEEDED(init)) CoUninitialize();
  return hr;
}

HRESULT CModuleServer::AnswersForIdentity() const {
  const auto function = reinterpret_cast<GetClassObjectFunction>(m_library.Symbol("DllGetClassObject"));
  if (function == nullptr) return E_NOTIMPL;
  CComPtr<IClassFactory> factory;
  const HRESULT hr = function(m_identity.clsid, IID_IClassFactory, factory.ReceiveVoid());
  if (FAILED(hr)) (void)factory.Detach();  // a failing module hands no reference over
  return hr;
}
