// The module's entry point body (DllMain), for every reason.
//
// At process attach: records the module handle, silences the image library's error
// output, configures the log and writes its banner, settles the camera identity from
// the module's own path and copies it into the factory template, then hands over to the
// framework entry. Other reasons record the handle and go to the framework entry.
// Never fails: registry or file trouble leaves the defaults and the module loads.
// Runs on the loading thread under the loader lock.
#pragma once

#include "platform/windows_types.h"

BOOL ModuleMain(HINSTANCE hModule, DWORD reason, void* reserved);
