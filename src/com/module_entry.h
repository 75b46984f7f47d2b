// The framework's part of module start-up and shutdown.
//
// DllEntryPoint, called by the module's DllMain for every reason: at process attach it
// switches off thread notifications, records the system's platform identifier and the
// module's instance handle, and runs every template's initialisation routine with
// bLoading true; at process detach it runs them with bLoading false. Always returns TRUE.
// Runs on the loading thread under the system's loader lock.
#pragma once

#include "com/factory_template.h"
#include "platform/windows_types.h"

// The module's instance handle and the system platform identifier, recorded at process
// attach; null and 0 before.
extern HINSTANCE g_hInst;
extern DWORD g_amPlatform;

BOOL DllEntryPoint(HINSTANCE hInstance, DWORD reason, void* reserved, const CFactoryTemplate* templates,
                   int templateCount);
