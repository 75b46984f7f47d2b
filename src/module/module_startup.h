// The module's entry point body (DllMain), for every reason.
//
// At process attach: records the module handle, silences the image library's error
// output, configures the log and writes its banner, settles the camera identity from
// the module's own path and copies it into the factory template, then hands over to the
// framework entry. Other reasons record the handle and go to the framework entry.
// Never fails: registry or file trouble leaves the defaults and the module loads.
// Runs on the loading thread under the loader lock.
#pragma once

#include <string>

#include "framework/factory_template.h"
#include "identity/camera_identity.h"
#include "platform/windows_types.h"

BOOL ModuleMain(HINSTANCE hModule, DWORD reason, void* reserved);

// The same start-up for a module of another front end: lookUp settles its identity from
// its path (builtInClsid when start-up could not run), and the identity goes into the
// first entry of its own template table.
BOOL StartModuleWith(HINSTANCE hModule, DWORD reason, void* reserved, CameraIdentity (*lookUp)(const std::wstring&),
                     const CLSID& builtInClsid, CFactoryTemplate* templates, int templateCount);
