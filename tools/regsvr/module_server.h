// CModuleServer: one camera module loaded into this process, and the camera it says it is.
//
// Load loads the file by its absolute path (the path the module then reports for itself
// and writes into its registration) and settles the camera identity the same way the
// module's start-up does: the first entry of the machine-wide custom-source list whose
// "Path" names this path, else the built-in camera. The identity does not depend on the
// log, so it is known even when the module may write none.
//
// Ownership: owns the loaded library; it is unloaded with the object. Threading: one
// thread. Failure: Load returns false with the system's text in LoadError(); the entry
// points return their own status, or E_NOTIMPL when the module does not export them.
#pragma once

#include <string>

#include "identity/camera_identity.h"
#include "platform/shared_library.h"
#include "platform/windows_types.h"

class CModuleServer {
 public:
  bool Load(const std::string& module);
  const std::string& Path() const { return m_path; }
  std::string LoadError() const;
  const CameraIdentity& Identity() const { return m_identity; }
  bool Exports(const char* entry) const { return m_library.Symbol(entry) != nullptr; }

  // Calls DllRegisterServer or DllUnregisterServer with the component runtime initialised
  // on this thread, as the system's registration tool provides it.
  HRESULT CallRegistration(const char* entry) const;
  // Whether the module hands out a class factory for its identity's class: the module
  // agrees about which camera it is.
  HRESULT AnswersForIdentity() const;

 private:
  std::string m_path;
  CSharedLibrary m_library;
  CameraIdentity m_identity{};
};
