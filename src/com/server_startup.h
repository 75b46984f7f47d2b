// The start-up of a component server module (the body of its DllMain), for every reason.
//
// At process attach: records the module handle, configures the log and writes its banner,
// settles the camera identity from the module's own path through lookUp (builtInClsid
// with the built-in name when start-up could not run) and copies it into the first entry
// of the module's template table, then hands over to DllEntryPoint. Other reasons record
// the handle and go to DllEntryPoint. Never fails: registry or file trouble leaves the
// defaults and the module loads. Runs on the loading thread under the loader lock.
#pragma once

#include <string>

#include "com/factory_template.h"
#include "identity/camera_identity.h"
#include "platform/windows_types.h"

BOOL StartModuleWith(HINSTANCE hModule, DWORD reason, void* reserved, CameraIdentity (*lookUp)(const std::wstring&),
                     const CLSID& builtInClsid, CFactoryTemplate* templates, int templateCount);
