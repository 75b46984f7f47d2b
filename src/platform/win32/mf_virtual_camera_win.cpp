#include "platform/mf_virtual_camera.h"

bool CVirtualCameraApi::Load() {
  m_create = nullptr;
  m_isTypeSupported = nullptr;
  m_error.clear();
  if (!m_library.IsLoaded() && !m_library.Load(L"mfsensorgroup.dll")) {
    m_error = L"mfsensorgroup.dll could not be loaded: " + m_library.Error();
    return false;
  }
  auto create = reinterpret_cast<MFCreateVirtualCameraFunction>(m_library.Symbol("MFCreateVirtualCamera"));
  auto isTypeSupported =
      reinterpret_cast<MFIsVirtualCameraTypeSupportedFunction>(m_library.Symbol("MFIsVirtualCameraTypeSupported"));
  if (create == nullptr || isTypeSupported == nullptr) {
    m_error = L"mfsensorgroup.dll has no MFCreateVirtualCamera (Windows 11 build 22000 or later needed)";
    m_library.Unload();
    return false;
  }
  m_create = create;
  m_isTypeSupported = isTypeSupported;
  return true;
}
