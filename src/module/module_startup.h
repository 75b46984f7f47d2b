// The module's entry point body (DllMain), for every reason.
//
// At process attach: silences the image library's error output, then the component
// server's start-up (StartModuleWith) with the camera's identity lookup and its template
// table. Never fails: registry or file trouble leaves the defaults and the module loads.
// Runs on the loading thread under the loader lock.
#pragma once

#include "platform/windows_types.h"

BOOL ModuleMain(HINSTANCE hModule, DWORD reason, void* reserved);
